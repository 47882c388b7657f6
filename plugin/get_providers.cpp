// The plug-in's one entry point.
#include "meter/qv5810.h"
#include "plugin/providers.h"

SPModbus* QV5810Provider::create() const { return new QV5810(); }

ProviderList get_providers() {
    ProviderList providers;
    providers.push_back(std::make_shared<QV5810Provider>());
    return providers;
}
