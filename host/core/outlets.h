// Every outlet of a run behind one: each event goes to each outlet in turn,
// and what the outlets noticed on their own side since (a broker away, a
// busy history) then goes to every outlet as a problem. Each line's poll
// thread delivers here; one event at a time passes, so that no outlet is
// entered by two lines at once.
#pragma once

#include <mutex>
#include <vector>

#include "host/core/report.h"

class Outlets : public Outlet {
public:
    void Add(Outlet& outlet) { outlets_.push_back(&outlet); }

    void Started(const Json::Value& facts) override;
    void Cycle(const std::shared_ptr<const CycleReport>& report) override;
    void Wrote(const WriteReport& report) override;
    void BackingOff(const BackoffReport& report) override;
    void Recovered(const DeviceConfig& meter, int cycle) override;
    void SlotsSkipped(int cycle, int skipped) override;
    void CycleOver(int cycle) override;
    void Problem(const std::string& text) override;
    void Finished(const RunSummary& summary) override;

private:
    template <typename Event>
    void Deliver(Event event);

    std::vector<Outlet*> outlets_;  // not changed once polling starts
    std::mutex deliver_mutex_;      // held while an event goes round
};
