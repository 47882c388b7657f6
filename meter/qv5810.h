// The QV5810 three-phase power meter as a controller device.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "framework/control_codes.h"
#include "framework/sp_modbus.h"
#include "framework/uni_data_device.h"
#include "meter/qv5810_record.h"

constexpr std::uint32_t kQV5810DataId = 5156;

class QV5810 : public UniDataDevice<QV5810_Data_t, SPModbus, kQV5810DataId> {
public:
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
    void BeginCommand(std::int32_t code);
    int WriteOneRegister(const void* input, int input_length);
    int WriteRegisters(const void* input, int input_length);
    void ConfirmWrite(bool echoed);
    void TakeBlock(std::size_t block);

    // Runs with snapshot_mutex held; the two commands take it.
    void RefreshSnapshotLocked();
    int SnapshotText(void* output, int output_capacity, int& written);
    int SnapshotHandle(void* output, int output_capacity, int& written);

    // Shared between the controller's request threads (which start writes)
    // and the answer handling (which confirms them).
    std::atomic<std::int32_t> write_status{write_outcome::kNone};
    std::atomic<std::int32_t> write_expected{-1};

    // The compact text of snapshot_json, guarded by snapshot_mutex: written
    // at construction and with every rebuild, so that a request on a current
    // snapshot copies text instead of serialising again.
    std::string snapshot_text;
};
