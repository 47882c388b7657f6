#include "host/meter_view/meter_readings.h"

#include "host/meter_view/meter_map.h"

#include <cmath>
#include <iomanip>
#include <locale>
#include <sstream>

using P = Prominence;

const std::array<MeterReading, 38> kMeterReadings = {{
    {"phase 1 current", "current_1_a", "第1相电流", 1792, 1000, "A", false, 4, P::on_request},
    {"phase 2 current", "current_2_a", "第2相电流", 1794, 1000, "A", false, 5, P::on_request},
    {"phase 3 current", "current_3_a", "第3相电流", 1796, 1000, "A", false, 6, P::on_request},
    {"line voltage U12", "line_voltage_u12_v", "线电压U12", 1800, 10, "V", false, 0, P::on_request},
    {"line voltage U23", "line_voltage_u23_v", "线电压U23", 1802, 10, "V", false, 0, P::on_request},
    {"line voltage U31", "line_voltage_u31_v", "线电压U31", 1804, 10, "V", false, 0, P::on_request},
    {"phase 1 voltage", "phase_voltage_1_v", "相电压1", 1806, 10, "V", false, 1, P::on_request},
    {"phase 2 voltage", "phase_voltage_2_v", "相电压2", 1808, 10, "V", false, 2, P::on_request},
    {"phase 3 voltage", "phase_voltage_3_v", "相电压3", 1810, 10, "V", false, 3, P::on_request},
    {"frequency", "frequency_hz", "频率", 1812, 100, "Hz", false, 9, P::headline},
    {"total active power", "total_active_power_kw", "总有功", 1814, 1000, "kW", false, 7, P::headline},
    {"total reactive power", "total_reactive_power_kvar", "总无功", 1816, 1000, "kvar", false, 0, P::headline},
    {"total apparent power", "total_apparent_power_kva", "总视在功率", 1818, 1000, "kVA", false, 0, P::headline},
    {"total power factor", "total_power_factor", "总功率因数", 1820, 1000, "", false, 8, P::headline},
    {"phase 1 active power", "active_power_1_kw", "1相有功", 1822, 1000, "kW", false, 0, P::at_hand},
    {"phase 2 active power", "active_power_2_kw", "2相有功", 1824, 1000, "kW", false, 0, P::at_hand},
    {"phase 3 active power", "active_power_3_kw", "3相有功", 1826, 1000, "kW", false, 0, P::at_hand},
    {"phase 1 reactive power", "reactive_power_1_kvar", "1相无功", 1828, 1000, "kvar", false, 0, P::on_request},
    {"phase 2 reactive power", "reactive_power_2_kvar", "2相无功", 1830, 1000, "kvar", false, 0, P::on_request},
    {"phase 3 reactive power", "reactive_power_3_kvar", "3相无功", 1832, 1000, "kvar", false, 0, P::on_request},
    {"phase 1 apparent power", "apparent_power_1_kva", "1相视在功率", 1834, 1000, "kVA", false, 0, P::on_request},
    {"phase 2 apparent power", "apparent_power_2_kva", "2相视在功率", 1836, 1000, "kVA", false, 0, P::on_request},
    {"phase 3 apparent power", "apparent_power_3_kva", "3相视在功率", 1838, 1000, "kVA", false, 0, P::on_request},
    {"phase 1 power factor", "power_factor_1", "1相功率因数", 1840, 1000, "", false, 0, P::on_request},
    {"phase 2 power factor", "power_factor_2", "2相功率因数", 1842, 1000, "", false, 0, P::on_request},
    {"phase 3 power factor", "power_factor_3", "3相功率因数", 1844, 1000, "", false, 0, P::on_request},
    {"phase 1 mean current", "avg_current_1_a", "第1相平均电流", 1846, 1000, "A", false, 0, P::on_request},
    {"phase 2 mean current", "avg_current_2_a", "第2相平均电流", 1848, 1000, "A", false, 0, P::on_request},
    {"phase 3 mean current", "avg_current_3_a", "第3相平均电流", 1850, 1000, "A", false, 0, P::on_request},
    {"mean active power imported", "avg_active_power_pos_kw", "总平均有功+", 1852, 1000, "kW", false, 0, P::on_request},
    {"mean active power exported", "avg_active_power_neg_kw", "总平均有功-", 1854, 1000, "kW", false, 0, P::on_request},
    {"mean reactive power imported", "avg_reactive_power_pos_kvar", "总平均无功+", 1856, 1000, "kvar", false, 0, P::on_request},
    {"mean reactive power exported", "avg_reactive_power_neg_kvar", "总平均无功-", 1858, 1000, "kvar", false, 0, P::on_request},
    {"mean apparent power", "avg_apparent_power_kva", "总平均视在功率", 1860, 1000, "kVA", false, 0, P::on_request},
    {"active energy imported", "active_energy_pos_wh", "有功电能+", 1880, 1, "Wh", true, 10, P::headline},
    {"active energy exported", "active_energy_neg_wh", "有功电能-", 1882, 1, "Wh", true, 0, P::headline},
    {"reactive energy imported", "reactive_energy_pos_varh", "无功电能+", 1884, 1, "varh", true, 0, P::headline},
    {"reactive energy exported", "reactive_energy_neg_varh", "无功电能-", 1886, 1, "varh", true, 0, P::headline},
}};

const MeterReading* reading_at(int high_register) {
    for (const MeterReading& reading : kMeterReadings) {
        if (reading.high_register == high_register) return &reading;
    }
    return nullptr;
}

int reading_decimals(const MeterReading& reading) {
    int decimals = 0;
    for (int d = reading.divisor; d >= 10; d /= 10) ++decimals;
    return decimals;
}

std::int32_t pair_value(std::uint16_t high, std::uint16_t low) {
    const std::uint32_t bits = static_cast<std::uint32_t>(high) << 16 | low;
    const std::int64_t raw = bits <= 0x7FFFFFFFu ? std::int64_t{bits} : std::int64_t{bits} - 4294967296LL;
    return static_cast<std::int32_t>(raw);
}

std::optional<std::int32_t> raw_reading(const std::vector<unsigned char>& record, const MeterReading& reading) {
    const int at = record_offset(reading.high_register);
    if (at < 0 || record.size() < static_cast<std::size_t>(at) + 4) return std::nullopt;
    // Each register is stored low byte first.
    const auto word = [&](int i) {
        const auto byte = [&](int j) { return static_cast<unsigned>(record[static_cast<std::size_t>(at + i + j)]); };
        return static_cast<std::uint16_t>(byte(0) | byte(1) << 8);
    };
    return pair_value(word(0), word(2));
}

std::optional<double> decode_reading(const std::vector<unsigned char>& record, const MeterReading& reading) {
    const std::optional<std::int32_t> raw = raw_reading(record, reading);
    if (!raw) return std::nullopt;
    return static_cast<double>(*raw) / reading.divisor;
}

int Quantity::decimals() const { return reading_decimals(*reading); }

double Quantity::Rounded() const {
    const double scale = std::pow(10.0, decimals());
    return std::round(value * scale) / scale;
}

std::string Quantity::Text() const {
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text << std::fixed << std::setprecision(decimals()) << value;
    return text.str();
}

std::vector<Quantity> decode_quantities(const std::vector<unsigned char>& record) {
    std::vector<Quantity> quantities;
    for (const MeterReading& reading : kMeterReadings) {
        const std::optional<std::int32_t> count = raw_reading(record, reading);
        if (!count) continue;
        quantities.push_back({&reading, *count, static_cast<double>(*count) / reading.divisor});
    }
    return quantities;
}
