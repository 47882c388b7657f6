// The QV5810 three-phase power meter as a controller device.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "framework/sp_modbus.h"
#include "framework/uni_data_device.h"
#include "meter/qv5810_record.h"

constexpr std::uint32_t kQV5810DataId = 5156;

class QV5810 : public UniDataDevice<QV5810_Data_t, SPModbus, kQV5810DataId> {
public:
    // Outcomes of the latest register write, as write_status holds them.
    static constexpr std::int32_t kWriteNone = -1;
    static constexpr std::int32_t kWriteConfirmed = 1;
    static constexpr std::int32_t kWriteNotConfirmed = 3;

    QV5810();
    ~QV5810() override;

    double Get_Value(unsigned int id, const std::string& name) const override;
    int DeviceIoControl(int code, const void* input, int input_length, void* output,
                        int output_capacity, int& written) override;
    int InitSetting(const Json::Value& setting) override;
    int RefreshStatus() override;
    int process_payload(tab_type table, unsigned int count) override;
    void RunCheckThreshold() override;

private:
    int WriteOneRegister(const void* input, int input_length);
    int WriteRegisters(const void* input, int input_length);
    int SignalRequest(int code, const void* input, int input_length, void* output,
                      int output_capacity, int& written);
    void ReportWriteStatus(void* output, int output_capacity, int& written) const;
    void BeginCommand(std::int32_t code);

    // Must be called with snapshot_mutex held (or before the device is shared).
    void RefreshSnapshotLocked();
    void WriteSnapshotTextLocked();
    int SnapshotText(void* output, int output_capacity, int& written);
    int SnapshotHandle(void* output, int output_capacity, int& written);

    // Shared between the controller's request threads (which start writes)
    // and the answer handling (which confirms them).
    std::atomic<std::int32_t> write_status{kWriteNone};
    std::atomic<std::int32_t> write_expected{-1};

    // Reused by every alarm evaluation, so a cycle allocates no value text.
    std::string value_text;
};
