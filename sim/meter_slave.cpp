#include "sim/meter_slave.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {
constexpr int kRegisterSpace = 2000;  // holding registers 0 to 1999
constexpr int kFirstBlock = 1792;

int word(const std::uint8_t* p) { return (p[0] << 8) | p[1]; }

void put_word(std::uint8_t* p, int value) {
    p[0] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
    p[1] = static_cast<std::uint8_t>(value & 0xFF);
}
}  // namespace

MeterSlave::MeterSlave(int slave, OverVoltageEpisode episode, SlaveFaults faults, SimLog& log, EnergyStore& energies)
    : slave_(slave), model_(episode, slave), faults_(faults), log_(log), energies_(energies) {
    if (const auto kept = energies_.Kept(slave)) model_.ResumeFrom(*kept);
    // The pty is a byte pipe: line speed and framing are the relay's business.
    ctx_ = modbus_new_rtu(terminal_.slave_path().c_str(), 115200, 'N', 8, 1);
    if (ctx_ == nullptr || modbus_set_slave(ctx_, slave) != 0 || modbus_connect(ctx_) != 0) {
        throw std::runtime_error(std::string("meter slave: ") + modbus_strerror(errno));
    }
    mapping_ = modbus_mapping_new(0, 0, kRegisterSpace, 0);
    if (mapping_ == nullptr) throw std::runtime_error("meter slave: no register mapping");
    model_.Fill(0, mapping_->tab_registers);
    thread_ = std::thread(&MeterSlave::Serve, this);
}

MeterSlave::~MeterSlave() {
    stopping_ = true;
    // The hang-up wakes modbus_receive with an error.
    terminal_.HangUp();
    if (thread_.joinable()) thread_.join();
    modbus_close(ctx_);
    modbus_mapping_free(mapping_);
    modbus_free(ctx_);
}

void MeterSlave::Serve() {
    std::uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    while (!stopping_) {
        const int length = modbus_receive(ctx_, query);
        if (length > 0) {
            Answer(query, length);
        } else if (length < 0 && errno != EMBBADCRC && errno != EMBBADDATA && errno != ETIMEDOUT) {
            return;  // the terminal is gone
        }
    }
}

void MeterSlave::Answer(const std::uint8_t* query, int length) {
    const int header = modbus_get_header_length(ctx_);
    const int function = query[header];
    const int address = word(query + header + 1);
    const int count = word(query + header + 3);
    ++requests_;
    if (faults_.exception_every > 0 && requests_ % faults_.exception_every == 0) {
        log_.Fault("exception", slave_, requests_);
        modbus_reply_exception(ctx_, query, MODBUS_EXCEPTION_SLAVE_OR_SERVER_FAILURE);
        return;
    }
    if (function == MODBUS_FC_READ_HOLDING_REGISTERS) {
        // A read of the first block begins a new poll cycle: the readings move on.
        if (address == kFirstBlock) {
            model_.Fill(++cycle_, mapping_->tab_registers);
            energies_.Update(slave_, model_.energy());
        }
        ++reads_;
        if (faults_.short_every > 0 && reads_ % faults_.short_every == 0 && count > 1) {
            // libmodbus builds the answer to a query asking one register
            // fewer, so the short answer carries a valid CRC.
            log_.Fault("short", slave_, reads_);
            std::vector<std::uint8_t> shorter(query, query + length);
            put_word(shorter.data() + header + 3, count - 1);
            modbus_reply(ctx_, shorter.data(), length, mapping_);
            return;
        }
        if (address >= 0 && count > 0 && address + count <= kRegisterSpace) {
            log_.Served(slave_, cycle_, function, address,
                        std::vector<std::uint16_t>(mapping_->tab_registers + address,
                                                   mapping_->tab_registers + address + count));
        }
    }
    modbus_reply(ctx_, query, length, mapping_);
    // A write beyond the registers was refused with an exception: nothing taken.
    if (function == MODBUS_FC_WRITE_SINGLE_REGISTER && address < kRegisterSpace) {
        log_.Wrote(slave_, function, address, {static_cast<std::uint16_t>(count)});
    } else if (function == MODBUS_FC_WRITE_MULTIPLE_REGISTERS && address + count <= kRegisterSpace) {
        log_.Wrote(slave_, function, address,
                   std::vector<std::uint16_t>(mapping_->tab_registers + address,
                                              mapping_->tab_registers + address + count));
    }
}
