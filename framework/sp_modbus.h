// The controller's Modbus master on a serial line.
//
// Requests go out through modbus_read_registers and friends and return at
// once; the controller delivers each answer later through process_payload,
// with the register values in receive_table.
#pragma once

#include <array>
#include <atomic>
#include <iostream>
#include <cstdint>

#include "framework/qmx_sp_device.h"

class QMX_HOST_API SPModbus : public QMXSPDevice {
public:
    // Which Modbus table an answer came from.
    enum tab_type { TAB_BITS, TAB_INPUT_BITS, TAB_REGISTERS, TAB_INPUT_REGISTERS };

    // The most registers one Modbus read may return.
    static constexpr int kReceiveTableRegisters = 125;

    SPModbus();
    ~SPModbus() override;

    int InitSetting(const Json::Value& setting) override;

    virtual int process_payload(tab_type table, unsigned int count) = 0;
    virtual int on_error() {
        std::cout << "SPModbus get error" << std::endl;
        return 0;
    }

    int modbus_read_registers(int address, int count);
    int modbus_write_register(int address, int value);
    int modbus_write_registers(int address, int count, const unsigned short* values);

    int SlaveAddress() const { return slave_address; }

protected:
    // Shared between the controller's request threads (control commands) and
    // the thread that delivers Modbus answers.
    std::atomic<std::int32_t> poll_state{0};
    std::array<std::uint16_t, kReceiveTableRegisters> receive_table{};
    int slave_address = 1;
    // Meaning is the controller's; devices set it to 1 and nothing reads it here.
    std::uint8_t master_option = 0;

    friend struct HostBinding;
};
