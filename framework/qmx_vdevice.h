// The controller's base for devices that publish data and report alarms.
#pragma once

#include <boost/date_time/posix_time/ptime.hpp>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "framework/rule_value.h"
#include "framework/vdevice_interface.h"

// The controller's private per-device state (its effect sinks and the
// Modbus line); plug-ins only carry the pointer.
struct HostBinding;

class QMX_HOST_API QMXVDevice : public VDeviceInterface {
public:
    QMXVDevice();
    ~QMXVDevice() override;

    std::uint32_t DataId() const override { return device_data_id; }
    std::string DeviceType() const override { return device_type_name; }
    int DeviceIoControl(int code, const void* input, int input_length, void* output,
                        int output_capacity, int& written) override;
    bool UseControllerDb() const override { return use_controller_db; }
    void Reset() override;
    int InitV(QMXController* controller) override;
    int Init() override;
    int InitSetting(const Json::Value& setting) override;
    bool IsSupportDevice(const std::string& type) const override;
    std::shared_ptr<VDeviceInterface> GetChildVDevice(unsigned int index) override {
        (void)index;
        return {};
    }
    std::vector<std::shared_ptr<VDeviceInterface>> GetAllChildVDevices() override { return {}; }

    virtual int SendSP(std::uint32_t data_id, const void* data, int length, bool delayed);
    virtual int SendDelayData(std::uint32_t data_id, const void* data, int length, int delay_seconds);
    virtual int SendDoData(int channel, int value);
    virtual int ReadDi(int channel);
    virtual double ReadAi(int channel);
    virtual int Get_SP_Value(std::uint32_t data_id, void* output, int capacity);

    // Not virtual: the controller's own bookkeeping.
    int SaveDeviceHistory(const void* data, int length);
    int CheckThresholdBool(int level, const std::string& alarm_key, const std::string& signal_key,
                           const std::string& alarm_text, const std::string& value_text, bool state,
                           unsigned short count);
    bool DoBatchCheckThreshold(const std::vector<rule_value>& rules);

protected:
    std::uint32_t device_data_id = 0;
    std::string device_type_name;
    bool use_controller_db = false;
    std::uint16_t comm_status = 0;
    boost::posix_time::ptime last_update_time;
    bool data_valid = false;
    std::vector<rule_value> rule_values;
    bool alarm_active = false;
    std::map<std::string, int> threshold_levels;
    std::map<std::string, float> threshold_values;

    QMXController* controller = nullptr;
    HostBinding* host_binding = nullptr;

    friend struct HostBinding;
};
