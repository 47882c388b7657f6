// The factories the controller receives from a plug-in's get_providers.
#pragma once

#include <memory>
#include <vector>

class SPModbus;

class Provider {
public:
    virtual ~Provider() = default;
};

// Makes devices that live on a serial line.
class QMXSPDeviceProvider : public Provider {
public:
    ~QMXSPDeviceProvider() override = default;
    // The caller owns the device and destroys it through its virtual destructor.
    virtual SPModbus* create() const = 0;
};

using ProviderList = std::vector<std::shared_ptr<Provider>>;

// The one entry point the controller resolves, by this unmangled name. C
// linkage for the name only: the controller is C++ and takes the list.
#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
extern "C" __attribute__((visibility("default"))) ProviderList get_providers();
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
