// The meter as the tests know it, written down independently of the
// plug-in's tables: register numbers, scalings and alarm rules as the meter's
// documentation gives them, so that a wrong table in the plug-in cannot
// check itself.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace oracle {

constexpr int kRecordSize = 167;

// Registers the device reads, and where each lands in the record.
inline int record_offset(int reg) {
    if (reg >= 1792 && reg <= 1861) return 4 + 2 * (reg - 1792);
    if (reg >= 1880 && reg <= 1887) return 144 + 2 * (reg - 1880);
    return -1;
}

// Holding registers of a meter.
class RegisterBank {
public:
    void Set(int reg, std::uint16_t value) { registers_[reg] = value; }
    // A quantity: the high half at `high_register`, the low half after it.
    void SetPair(int high_register, std::int32_t raw) {
        const auto bits = static_cast<std::uint32_t>(raw);
        Set(high_register, static_cast<std::uint16_t>(bits >> 16));
        Set(high_register + 1, static_cast<std::uint16_t>(bits & 0xFFFFu));
    }
    std::uint16_t Get(int reg) const {
        auto it = registers_.find(reg);
        return it == registers_.end() ? 0 : it->second;
    }
    std::vector<std::uint16_t> Block(int first, int count) const {
        std::vector<std::uint16_t> block;
        for (int r = first; r < first + count; ++r) block.push_back(Get(r));
        return block;
    }
    // Every register the device reads set to a distinct, recognisable value.
    void FillDistinct(std::uint16_t seed) {
        for (int r = 1792; r <= 1861; ++r) Set(r, static_cast<std::uint16_t>(seed + r * 7));
        for (int r = 1880; r <= 1887; ++r) Set(r, static_cast<std::uint16_t>(seed + r * 7));
    }

private:
    std::map<int, std::uint16_t> registers_;
};

// Bytes 4 to 159 of the record that a cycle over `bank` must publish.
inline std::vector<unsigned char> expected_register_area(const RegisterBank& bank) {
    std::vector<unsigned char> area(156);
    auto put = [&](int reg) {
        const int at = record_offset(reg) - 4;
        area[static_cast<std::size_t>(at)] = static_cast<unsigned char>(bank.Get(reg) & 0xFF);
        area[static_cast<std::size_t>(at) + 1] = static_cast<unsigned char>(bank.Get(reg) >> 8);
    };
    for (int r = 1792; r <= 1861; ++r) put(r);
    for (int r = 1880; r <= 1887; ++r) put(r);
    return area;
}

struct Rule {
    const char* key;
    const char* text;
    int high_register;  // of the quantity the rule judges
    int divisor;
    bool high;          // true: value > threshold; false: value < threshold
};

constexpr int kPhaseVoltage1 = 1806, kPhaseVoltage2 = 1808, kPhaseVoltage3 = 1810;
constexpr int kLineU12 = 1800, kLineU23 = 1802, kLineU31 = 1804;
constexpr int kCurrent1 = 1792, kCurrent2 = 1794, kCurrent3 = 1796;

inline const std::vector<Rule>& rules() {
    static const std::vector<Rule> table = {
        {"110200010010", "001#低压配电屏A相电压过高", kPhaseVoltage1, 10, true},
        {"110200020010", "001#低压配电屏A相电压过低", kPhaseVoltage1, 10, false},
        {"110200030010", "001#低压配电屏A相电压超高", kPhaseVoltage1, 10, true},
        {"110200040010", "001#低压配电屏A相电压超低", kPhaseVoltage1, 10, false},
        {"110200060010", "001#低压配电屏B相电压过高", kPhaseVoltage2, 10, true},
        {"110200070010", "001#低压配电屏B相电压过低", kPhaseVoltage2, 10, false},
        {"110200080010", "001#低压配电屏B相电压超高", kPhaseVoltage2, 10, true},
        {"110200090010", "001#低压配电屏B相电压超低", kPhaseVoltage2, 10, false},
        {"110200110010", "001#低压配电屏C相电压过高", kPhaseVoltage3, 10, true},
        {"110200120010", "001#低压配电屏C相电压过低", kPhaseVoltage3, 10, false},
        {"110200130010", "001#低压配电屏C相电压超高", kPhaseVoltage3, 10, true},
        {"110200140010", "001#低压配电屏C相电压超低", kPhaseVoltage3, 10, false},
        {"110200240010", "001#低压配电屏线电压Uab过高", kLineU12, 10, true},
        {"110200250010", "001#低压配电屏线电压Uab过低", kLineU12, 10, false},
        {"110200260010", "001#低压配电屏线电压Uab超高", kLineU12, 10, true},
        {"110200270010", "001#低压配电屏线电压Uab过低", kLineU12, 10, false},
        {"110200290010", "001#低压配电屏线电压Ubc过高", kLineU23, 10, true},
        {"110200300010", "001#低压配电屏线电压Ubc过低", kLineU23, 10, false},
        {"110200310010", "001#低压配电屏线电压Ubc超高", kLineU23, 10, true},
        {"110200320010", "001#低压配电屏线电压Ubc过低", kLineU23, 10, false},
        {"110200340010", "001#低压配电屏线电压Uca过高", kLineU31, 10, true},
        {"110200350010", "001#低压配电屏线电压Uca过低", kLineU31, 10, false},
        {"110200360010", "001#低压配电屏线电压Uca超高", kLineU31, 10, true},
        {"110200370010", "001#低压配电屏线电压Uca过低", kLineU31, 10, false},
        {"110200160010", "001#低压配电屏相电流Ia过大", kCurrent1, 1000, true},
        {"110200180010", "001#低压配电屏相电流Ib过大", kCurrent2, 1000, true},
        {"110200200010", "001#低压配电屏相电流Ic过大", kCurrent3, 1000, true},
    };
    return table;
}

// Snapshot members in the order the meter documentation lists them:
// name, high register, divisor.
struct Member {
    const char* name;
    int high_register;
    int divisor;
};

inline const std::vector<Member>& snapshot_members() {
    static const std::vector<Member> members = {
        {"第1相电流", 1792, 1000}, {"第2相电流", 1794, 1000}, {"第3相电流", 1796, 1000},
        {"线电压U12", 1800, 10}, {"线电压U23", 1802, 10}, {"线电压U31", 1804, 10},
        {"相电压1", 1806, 10}, {"相电压2", 1808, 10}, {"相电压3", 1810, 10},
        {"频率", 1812, 100},
        {"总有功", 1814, 1000}, {"总无功", 1816, 1000}, {"总视在功率", 1818, 1000},
        {"总功率因数", 1820, 1000},
        {"1相有功", 1822, 1000}, {"2相有功", 1824, 1000}, {"3相有功", 1826, 1000},
        {"1相无功", 1828, 1000}, {"2相无功", 1830, 1000}, {"3相无功", 1832, 1000},
        {"1相视在功率", 1834, 1000}, {"2相视在功率", 1836, 1000}, {"3相视在功率", 1838, 1000},
        {"1相功率因数", 1840, 1000}, {"2相功率因数", 1842, 1000}, {"3相功率因数", 1844, 1000},
        {"第1相平均电流", 1846, 1000}, {"第2相平均电流", 1848, 1000}, {"第3相平均电流", 1850, 1000},
        {"总平均有功+", 1852, 1000}, {"总平均有功-", 1854, 1000},
        {"总平均无功+", 1856, 1000}, {"总平均无功-", 1858, 1000},
        {"总平均视在功率", 1860, 1000},
        {"有功电能+", 1880, 1}, {"有功电能-", 1882, 1}, {"无功电能+", 1884, 1}, {"无功电能-", 1886, 1},
    };
    return members;
}

// The meter's scaling: the signed pair divided, truncating toward zero.
inline std::int32_t scaled(const RegisterBank& bank, int high_register, int divisor) {
    const std::uint32_t bits = (static_cast<std::uint32_t>(bank.Get(high_register)) << 16) |
                               bank.Get(high_register + 1);
    std::int64_t raw = bits;
    if (raw >= 0x80000000LL) raw -= 0x100000000LL;
    return static_cast<std::int32_t>(raw / divisor);
}

// The value text an alarm report carries: the scaled value as the nearest
// single-precision float, printed as a whole number.
inline std::string value_text(std::int32_t scaled_value) {
    return std::to_string(static_cast<long long>(static_cast<float>(scaled_value)));
}

}  // namespace oracle
