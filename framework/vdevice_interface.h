// The controller's abstract virtual device.
//
// The order of the virtual operations below, across this class and its
// descendants QMXVDevice, QMXSPDevice and SPModbus, is the binary interface
// towards the controller: the controller calls through vtable slots, so a
// declaration must never be moved, added or removed.
#pragma once

#include <json/value.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "framework/host_api.h"

class QMXController;

class QMX_HOST_API VDeviceInterface {
public:
    VDeviceInterface() = default;
    VDeviceInterface(const VDeviceInterface&) = delete;
    VDeviceInterface& operator=(const VDeviceInterface&) = delete;

    // The framework default answers no query: there is nothing to offer.
    virtual double Get_Value(unsigned int id, const std::string& name) const {
        (void)id;
        (void)name;
        throw std::out_of_range("数据未就绪");
    }
    virtual int LoadFromCache(const std::string& text) = 0;
    virtual int LoadFromCache(const unsigned char* bytes, int length) = 0;
    virtual std::uint32_t DataId() const = 0;
    virtual std::string DeviceType() const = 0;
    virtual int DeviceIoControl(int code, const void* input, int input_length, void* output,
                                int output_capacity, int& written) = 0;
    virtual void RoundDone() = 0;
    virtual bool UseControllerDb() const = 0;
    virtual ~VDeviceInterface() = default;
    virtual void Reset() = 0;
    virtual int InitV(QMXController* controller) = 0;
    virtual int Init() = 0;
    virtual int InitSetting(const Json::Value& setting) = 0;
    virtual bool IsSupportDevice(const std::string& type) const = 0;
    virtual std::shared_ptr<VDeviceInterface> GetChildVDevice(unsigned int index) = 0;
    virtual std::vector<std::shared_ptr<VDeviceInterface>> GetAllChildVDevices() = 0;
};
