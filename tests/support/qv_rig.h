// A rig around a QV5810 built into the test, on the fake clock.
#pragma once

#include "meter/qv5810.h"
#include "tests/support/device_rig.h"

struct QvRig : DeviceRig {
    explicit QvRig(std::uint32_t data_id = 42) : DeviceRig(data_id, new QV5810()) {
        qv().UseWallClock(&FakeClock::Now);
    }
    QV5810& qv() { return static_cast<QV5810&>(*device); }
};
