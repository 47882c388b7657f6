// A QV5810 on the bench host's ModbusLine over a scripted line, in-process.
#pragma once

#include <memory>

#include "host/line/modbus_line.h"
#include "host/runtime/host_binding.h"
#include "meter/qv5810.h"
#include "tests/support/recording_sink.h"
#include "tests/support/scripted_line.h"

struct LineRig {
    explicit LineRig(int retries = 2) : rtu(line, RetryPolicy{retries, 0, 1000, 1000}, clock, stop) {
        binding.sink = &sink;
        binding.transport = &rtu;
        HostBinding::Attach(device, &binding, 7);
        device.InitSetting(Json::Value(Json::objectValue));
        line.banks[1].FillDistinct(100);
    }

    // One poll cycle; the exchanges it ran.
    std::vector<Exchange> Cycle() {
        device.RefreshStatus();
        return RunAll();
    }
    std::vector<Exchange> RunAll() {
        std::vector<Exchange> exchanges;
        while (rtu.HasPending()) exchanges.push_back(rtu.RunPending());
        return exchanges;
    }

    FakeSteadyClock clock;
    ScriptedLine line{clock};
    StopSignal stop;
    ModbusLine rtu;
    RecordingSink sink;
    HostBinding binding;
    QV5810 device;
};
