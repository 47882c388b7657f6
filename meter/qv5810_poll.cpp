// Construction, settings and the poll cycle of the QV5810 device.
#include <cstring>
#include <iostream>

#include "meter/qv5810.h"
#include "meter/register_map.h"

namespace {

constexpr std::int32_t kStateWriteOne = 206;
constexpr std::int32_t kStateWriteMany = 210;
constexpr std::uint16_t kWriteMultipleFunction = 16;

const RegisterBlock* block_awaited_in(std::int32_t state) {
    for (const RegisterBlock& block : kRegisterBlocks) {
        if (block.poll_state == state) return &block;
    }
    return nullptr;
}

}  // namespace

QV5810::QV5810() {
    device_type_name = "qv5810";
    baud_rate = 9600;
    master_option = 1;
    // Until the first cycle, command 801 answers with the text of the null snapshot.
    WriteSnapshotTextLocked();
}

QV5810::~QV5810() = default;

int QV5810::InitSetting(const Json::Value& setting) {
    record.dev_id = device_data_id;
    return UniDataDevice::InitSetting(setting);
}

int QV5810::RefreshStatus() {
    QMXSPDevice::RefreshStatus();
    const RegisterBlock& first = kRegisterBlocks.front();
    poll_state = first.poll_state;
    modbus_read_registers(first.first_register, first.register_count);
    return 1;
}

int QV5810::process_payload(tab_type, unsigned int count) {
    std::int32_t state = poll_state.load();
    if (state == kStateWriteOne) {
        const bool echoed = receive_table[0] == write_expected.load();
        write_status = echoed ? kWriteConfirmed : kWriteNotConfirmed;
        Reset();
        return 0;
    }
    if (state == kStateWriteMany) {
        const bool echoed = receive_table[0] == kWriteMultipleFunction &&
                            receive_table[1] == write_expected.load();
        write_status = echoed ? kWriteConfirmed : kWriteNotConfirmed;
        Reset();
        return 0;
    }
    const RegisterBlock* block = block_awaited_in(state);
    if (block == nullptr) return 1;

    // A short answer would leave stale registers in a record published as fresh.
    if (count < block->register_count) {
        std::cout << "QV5810 short answer: " << count << " of " << block->register_count
                  << " registers from " << block->first_register << std::endl;
        Reset();
        return 0;
    }
    std::memcpy(reinterpret_cast<unsigned char*>(&record) + block->record_offset, receive_table.data(),
                std::size_t{block->register_count} * sizeof(std::uint16_t));

    if (block == &kRegisterBlocks.back()) {
        RoundDone();
        return 0;
    }
    const RegisterBlock& next = *(block + 1);
    // A control command may have taken the line since this answer's state was
    // read; its own answer must not be taken for the next block.
    if (!poll_state.compare_exchange_strong(state, next.poll_state)) return 1;
    modbus_read_registers(next.first_register, next.register_count);
    return 1;
}
