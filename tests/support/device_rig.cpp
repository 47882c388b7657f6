#include "tests/support/device_rig.h"
#include "tests/support/json_text.h"

#include <atomic>
#include <stdexcept>

namespace {
std::atomic<long long> g_now_seconds{0};
const boost::posix_time::ptime kEpoch(boost::gregorian::date(2024, 1, 1));
}  // namespace

void FakeClock::Set(const boost::posix_time::ptime& now) {
    g_now_seconds = (now - kEpoch).total_seconds();
}

void FakeClock::Advance(long seconds) { g_now_seconds += seconds; }

boost::posix_time::ptime FakeClock::Now() {
    return kEpoch + boost::posix_time::seconds(static_cast<long>(g_now_seconds.load()));
}

DeviceRig::DeviceRig(std::uint32_t data_id, SPModbus* made) : device(made) {
    binding.sink = &sink;
    binding.transport = &transport;
    HostBinding::Attach(*device, &binding, data_id);
}

DeviceRig::~DeviceRig() = default;

int DeviceRig::AnswerReads(const oracle::RegisterBank& bank) {
    int result = -1;
    for (;;) {
        const auto requests = transport.Requests();
        if (answered >= requests.size()) return result;
        const Request request = requests[answered++];
        if (request.kind != Request::read) continue;
        const auto block = bank.Block(request.address, request.count);
        result = HostBinding::DeliverAnswer(*device, block.data(), static_cast<unsigned>(block.size()));
    }
}

int DeviceRig::RunCycle(const oracle::RegisterBank& bank) {
    answered = transport.Requests().size();
    device->RefreshStatus();
    return AnswerReads(bank);
}

int DeviceRig::Answer(std::initializer_list<std::uint16_t> registers) {
    answered = transport.Requests().size();
    return HostBinding::DeliverAnswer(*device, registers.begin(), static_cast<unsigned>(registers.size()));
}

int DeviceRig::Control(int code, const void* input, int input_length, void* output, int capacity,
                       int& written) {
    return device->DeviceIoControl(code, input, input_length, output, capacity, written);
}

std::int32_t DeviceRig::WriteStatus() {
    std::int32_t status = 0;
    int written = 0;
    device->DeviceIoControl(999, nullptr, 0, &status, sizeof status, written);
    if (written != 4) throw std::logic_error("status query wrote no status");
    return status;
}

int DeviceRig::InitSetting(const std::string& json_text) {
    const auto config = parse_json(json_text);
    if (!config) throw std::invalid_argument("bad test JSON");
    return device->InitSetting(*config);
}
