// The meters' energy counters kept in a small file across restarts, so that
// whatever sums them (a history, Home Assistant's Energy dashboard) never
// sees a simulated meter reset. Each slave's thread hands its counters over
// after each cycle; the file is written now and then and at the end.
#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "sim/meter_model.h"

class EnergyStore {
public:
    // Reads `path` when it exists; an empty path keeps nothing. Throws
    // std::runtime_error for a file that is there but not ours to read.
    explicit EnergyStore(std::string path);
    ~EnergyStore();  // writes the last counters
    EnergyStore(const EnergyStore&) = delete;
    EnergyStore& operator=(const EnergyStore&) = delete;

    std::optional<EnergyCounters> Kept(int slave) const;
    // Any slave's thread.
    void Update(int slave, const EnergyCounters& energy);

private:
    void Write();  // with store_mutex_ held

    static constexpr std::chrono::seconds kWriteEvery{10};
    const std::string path_;
    mutable std::mutex store_mutex_;  // guards counters_ and written_at_
    std::map<int, EnergyCounters> counters_;
    std::chrono::steady_clock::time_point written_at_ = std::chrono::steady_clock::now();
};
