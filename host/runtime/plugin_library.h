// A device plug-in loaded the way the controller loads it.
#pragma once

#include <memory>
#include <string>

#include "framework/provider.h"

class PluginLibrary {
public:
    explicit PluginLibrary(const std::string& path);  // throws std::runtime_error
    // The library stays loaded for the life of the process: devices it made
    // may still be destroyed at exit.
    std::unique_ptr<SPModbus> CreateDevice() const;

private:
    ProviderList providers_;
};
