// The poll cycle and the confirmation of register writes.
#include <cstring>

#include "meter/qv5810.h"
#include "meter/register_map.h"

namespace {

constexpr std::uint16_t kWriteMultipleFunction = 16;

// The block whose answer `state` awaits, or the number of blocks when none.
std::size_t block_awaited_in(std::int32_t state) {
    std::size_t block = 0;
    while (block < kRegisterBlocks.size() && block_poll_state(block) != state) ++block;
    return block;
}

}  // namespace

int QV5810::RefreshStatus() {
    QMXSPDevice::RefreshStatus();
    poll_state = block_poll_state(0);
    modbus_read_registers(kRegisterBlocks[0].first_register, kRegisterBlocks[0].register_count);
    return 1;
}

// The count is not compared with the block's size: its meaning is the
// controller's. The controller's master must deliver only answers it has
// validated, each the full block asked for (docs/install.md).
int QV5810::process_payload(tab_type, unsigned int) {
    std::int32_t state = poll_state.load();
    if (state == poll_state_tag::kWriteRegister) {
        ConfirmWrite(receive_table[0] == write_expected.load());
        return 0;
    }
    if (state == poll_state_tag::kWriteRegisters) {
        ConfirmWrite(receive_table[0] == kWriteMultipleFunction && receive_table[1] == write_expected.load());
        return 0;
    }
    const std::size_t block = block_awaited_in(state);
    if (block == kRegisterBlocks.size()) return 1;

    TakeBlock(block);
    if (block + 1 == kRegisterBlocks.size()) {
        RoundDone();
        return 0;
    }
    // A control command may have taken the line since this answer's state was
    // read; its own answer must not be taken for the next block.
    if (!poll_state.compare_exchange_strong(state, block_poll_state(block + 1))) return 1;
    modbus_read_registers(kRegisterBlocks[block + 1].first_register, kRegisterBlocks[block + 1].register_count);
    return 1;
}

void QV5810::TakeBlock(std::size_t block) {
    static_assert(sizeof receive_table >= largest_block_bytes(), "every block fits the receive table");
    std::memcpy(reinterpret_cast<unsigned char*>(&record) + block_record_offset(block), receive_table.data(),
                block_bytes(block));
}

void QV5810::ConfirmWrite(bool echoed) {
    write_status = echoed ? write_outcome::kConfirmed : write_outcome::kNotConfirmed;
    Reset();
}
