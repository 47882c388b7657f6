// A QV5810 bound to a recording controller, with a controllable clock.
#pragma once

#include <boost/date_time/posix_time/posix_time.hpp>

#include <cstdint>
#include <memory>
#include <string>

#include "host/runtime/host_binding.h"
#include "tests/support/meter_oracle.h"
#include "tests/support/recording_sink.h"
#include "tests/support/scripted_transport.h"

// The wall clock every rig's device reads; tests move it.
struct FakeClock {
    static void Set(const boost::posix_time::ptime& now);
    static void Advance(long seconds);
    static boost::posix_time::ptime Now();
};

struct DeviceRig {
    // Takes ownership of `device`.
    DeviceRig(std::uint32_t data_id, SPModbus* device);
    ~DeviceRig();
    DeviceRig(const DeviceRig&) = delete;
    DeviceRig& operator=(const DeviceRig&) = delete;

    // Answers the device's outstanding read requests from `bank` until the
    // device asks for nothing more. Returns the last process_payload result.
    int AnswerReads(const oracle::RegisterBank& bank);
    // A complete poll cycle: RefreshStatus, then the four answers.
    int RunCycle(const oracle::RegisterBank& bank);
    int Answer(std::initializer_list<std::uint16_t> registers);
    int Control(int code, const void* input, int input_length, void* output, int capacity, int& written);
    std::int32_t WriteStatus();
    int InitSetting(const std::string& json_text);

    RecordingSink sink;
    ScriptedTransport transport;
    HostBinding binding;
    std::unique_ptr<SPModbus> device;
    std::size_t answered = 0;  // requests already answered
};
