// One simulated meter: a libmodbus RTU slave serving the meter model on its
// own pseudo-terminal, behind the line relay.
#pragma once

#include <modbus.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

#include "sim/energy_store.h"
#include "sim/meter_model.h"
#include "sim/pseudo_terminal.h"
#include "sim/sim_log.h"

struct SlaveFaults {
    int exception_every = 0;  // answer every Nth request with an exception; 0: never
    int short_every = 0;      // answer every Nth read with one register fewer than asked; 0: never
};

class MeterSlave {
public:
    MeterSlave(int slave, OverVoltageEpisode episode, SlaveFaults faults, SimLog& log, EnergyStore& energies);
    ~MeterSlave();
    MeterSlave(const MeterSlave&) = delete;
    MeterSlave& operator=(const MeterSlave&) = delete;

    int address() const { return slave_; }
    // Where the relay delivers this meter's requests and reads its answers.
    int relay_fd() const { return terminal_.master_fd(); }

private:
    void Serve();
    void Answer(const std::uint8_t* query, int length);

    int slave_;
    MeterModel model_;
    SlaveFaults faults_;
    SimLog& log_;
    EnergyStore& energies_;
    PseudoTerminal terminal_;
    modbus_t* ctx_ = nullptr;
    modbus_mapping_t* mapping_ = nullptr;
    int cycle_ = 0;
    int requests_ = 0;
    int reads_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};
