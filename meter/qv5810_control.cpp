// Control requests from the controller: register writes, the signal request,
// command 320, the snapshot and the write-status query.
#include <iostream>

#include "control/command_input.h"
#include "meter/qv5810.h"

int QV5810::DeviceIoControl(int code, const void* input, int input_length, void* output,
                            int output_capacity, int& written) {
    std::cout << "QV5810::DeviceIoControl " << code << std::endl;
    switch (code) {
        case control_code::kWriteRegister:
            return WriteOneRegister(input, input_length);
        case control_code::kWriteRegisters:
            return WriteRegisters(input, input_length);
        case control_code::kSignalRequest:
            BeginCommand(code);
            if (!signal_request_parses(input, input_length)) return -1;
            return QMXVDevice::DeviceIoControl(code, input, input_length, output, output_capacity, written);
        case control_code::kCommand320:
            BeginCommand(code);
            return QMXVDevice::DeviceIoControl(code, input, input_length, output, output_capacity, written);
        case control_code::kSnapshotText:
            return SnapshotText(output, output_capacity, written);
        case control_code::kSnapshotHandle:
            return SnapshotHandle(output, output_capacity, written);
        default:
            report_write_status(write_status.load(), output, output_capacity, written);
            return QMXVDevice::DeviceIoControl(code, input, input_length, output, output_capacity, written);
    }
}

void QV5810::BeginCommand(std::int32_t code) {
    poll_state = code;
    write_status = write_outcome::kNone;
    QMXSPDevice::OpenPort();
}

// The exchange's tag, the pending status and the expected echo are all in
// place before the request goes out: a master may answer before it returns.
int QV5810::WriteOneRegister(const void* input, int input_length) {
    const auto write = read_single_write(input, input_length);
    if (!write) return -1;
    BeginCommand(control_code::kWriteRegister);
    write_expected = write->value;
    modbus_write_register(write->address, write->value);
    return 0;
}

int QV5810::WriteRegisters(const void* input, int input_length) {
    const auto write = read_multiple_write(input, input_length);
    if (!write) return -1;
    WriteScratch scratch;
    const std::uint16_t* values = multiple_write_values(input, write->count, scratch);
    BeginCommand(control_code::kWriteRegisters);
    write_expected = write->count;
    modbus_write_registers(write->address, write->count, values);
    return 0;
}
