// The controller that owns and schedules virtual devices.
#pragma once

#include "framework/host_api.h"

// Devices receive their controller through InitV; the plug-in never calls
// into it.
class QMX_HOST_API QMXController {
public:
    virtual ~QMXController();
};
