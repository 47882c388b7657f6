#include "host/runtime/plugin_library.h"

#include <dlfcn.h>

#include <stdexcept>

#include "framework/sp_modbus.h"

PluginLibrary::PluginLibrary(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) throw std::runtime_error(std::string("cannot load plug-in: ") + dlerror());
    void* entry = dlsym(handle, "get_providers");
    if (entry == nullptr) throw std::runtime_error(path + " has no get_providers");
    providers_ = reinterpret_cast<ProviderList (*)()>(entry)();
    if (providers_.empty()) throw std::runtime_error(path + " offers no provider");
}

std::unique_ptr<SPModbus> PluginLibrary::CreateDevice() const {
    for (const auto& provider : providers_) {
        if (auto* serial = dynamic_cast<QMXSPDeviceProvider*>(provider.get())) {
            return std::unique_ptr<SPModbus>(serial->create());
        }
    }
    throw std::runtime_error("the plug-in makes no serial-line devices");
}
