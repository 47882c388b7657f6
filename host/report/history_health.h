// How the history outlet fared with its last batch, for /healthz: set by
// the outlet's thread, read by the API's; one atomic, nothing waits.
#pragma once

#include <atomic>

class HistoryHealth {
public:
    enum class State { storing, held, failed };  // held: locked by another process, records kept

    void Set(State state) { state_.store(state); }
    State Get() const { return state_.load(); }
    static const char* Name(State state) {
        return state == State::storing ? "storing" : state == State::held ? "held" : "failed";
    }

private:
    std::atomic<State> state_{State::storing};
};
