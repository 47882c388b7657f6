#include "sim/energy_store.h"

#include <json/reader.h>
#include <json/writer.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>

EnergyStore::EnergyStore(std::string path) : path_(std::move(path)) {
    if (path_.empty()) return;
    std::ifstream in(path_);
    if (!in) return;  // a first run: every meter starts from its own counters
    Json::Value kept;
    Json::CharReaderBuilder reader;
    std::string errors;
    if (!Json::parseFromStream(reader, in, &kept, &errors) || !kept.isObject()) {
        throw std::runtime_error("--state " + path_ + ": not a state file of ours: " + errors);
    }
    for (const std::string& slave : kept.getMemberNames()) {
        const Json::Value& c = kept[slave];
        if (!c.isArray() || c.size() != 4) throw std::runtime_error("--state " + path_ + ": slave " + slave + " unreadable");
        counters_[std::stoi(slave)] = {c[0].asDouble(), c[1].asDouble(), c[2].asDouble(), c[3].asDouble()};
    }
}

EnergyStore::~EnergyStore() {
    const std::lock_guard<std::mutex> lock(store_mutex_);
    Write();
}

std::optional<EnergyCounters> EnergyStore::Kept(int slave) const {
    const std::lock_guard<std::mutex> lock(store_mutex_);
    const auto found = counters_.find(slave);
    if (found == counters_.end()) return std::nullopt;
    return found->second;
}

void EnergyStore::Update(int slave, const EnergyCounters& energy) {
    const std::lock_guard<std::mutex> lock(store_mutex_);
    counters_[slave] = energy;
    if (std::chrono::steady_clock::now() - written_at_ >= kWriteEvery) Write();
}

// Written beside and renamed over, so that a crash leaves the old file or the new, never half of one.
void EnergyStore::Write() {
    written_at_ = std::chrono::steady_clock::now();
    if (path_.empty()) return;
    Json::Value kept(Json::objectValue);
    for (const auto& [slave, c] : counters_) {
        Json::Value& counters = kept[std::to_string(slave)];
        for (double value : {c.active_wh, c.exported_wh, c.reactive_varh, c.exported_varh}) counters.append(value);
    }
    const std::string temporary = path_ + ".new." + std::to_string(getpid());
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << Json::writeString(Json::StreamWriterBuilder(), kept) << "\n";
        if (!out.flush()) return;  // the disk said no: the old file stays
    }
    std::rename(temporary.c_str(), path_.c_str());
}
