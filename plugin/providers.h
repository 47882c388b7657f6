// The plug-in's one provider: it makes QV5810 devices.
#pragma once

#include "framework/provider.h"

class QV5810Provider : public QMXSPDeviceProvider {
public:
    ~QV5810Provider() override = default;
    SPModbus* create() const override;
};
