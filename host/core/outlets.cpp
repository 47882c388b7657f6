#include "host/core/outlets.h"

template <typename Event>
void Outlets::Deliver(Event event) {
    const std::lock_guard<std::mutex> lock(deliver_mutex_);
    for (Outlet* outlet : outlets_) event(*outlet);
    for (Outlet* noticing : outlets_) {
        for (const std::string& notice : noticing->TakeNotices()) {
            for (Outlet* outlet : outlets_) outlet->Problem(notice);
        }
    }
}

void Outlets::Started(const Json::Value& facts) {
    Deliver([&](Outlet& o) { o.Started(facts); });
}
void Outlets::Cycle(const std::shared_ptr<const CycleReport>& report) {
    Deliver([&](Outlet& o) { o.Cycle(report); });
}
void Outlets::Wrote(const WriteReport& report) {
    Deliver([&](Outlet& o) { o.Wrote(report); });
}
void Outlets::BackingOff(const BackoffReport& report) {
    Deliver([&](Outlet& o) { o.BackingOff(report); });
}
void Outlets::Recovered(const DeviceConfig& meter, int cycle) {
    Deliver([&](Outlet& o) { o.Recovered(meter, cycle); });
}
void Outlets::SlotsSkipped(int cycle, int skipped) {
    Deliver([&](Outlet& o) { o.SlotsSkipped(cycle, skipped); });
}
void Outlets::CycleOver(int cycle) {
    Deliver([&](Outlet& o) { o.CycleOver(cycle); });
}
void Outlets::Problem(const std::string& text) {
    Deliver([&](Outlet& o) { o.Problem(text); });
}
void Outlets::Finished(const RunSummary& summary) {
    Deliver([&](Outlet& o) { o.Finished(summary); });
}
