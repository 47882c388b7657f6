#include "sim/meter_model.h"

#include <cmath>

namespace {

void put_pair(std::uint16_t* registers, int high_register, double value) {
    const auto raw = static_cast<std::int32_t>(std::lround(value));
    const auto bits = static_cast<std::uint32_t>(raw);
    registers[high_register] = static_cast<std::uint16_t>(bits >> 16);
    registers[high_register + 1] = static_cast<std::uint16_t>(bits & 0xFFFFu);
}

// Register addresses (high half) from the meter's register map; scalings
// are the meter's: volts ×10, amperes ×1000, watts and vars as they are,
// power factor ×1000, hertz ×100, energies in Wh and varh.
constexpr int kCurrent[3] = {1792, 1794, 1796};
constexpr int kStatusPair = 1798;
constexpr int kLineVoltage[3] = {1800, 1802, 1804};
constexpr int kPhaseVoltage[3] = {1806, 1808, 1810};
constexpr int kFrequency = 1812;
constexpr int kTotalActive = 1814, kTotalReactive = 1816, kTotalApparent = 1818, kTotalPf = 1820;
constexpr int kActive[3] = {1822, 1824, 1826};
constexpr int kReactive[3] = {1828, 1830, 1832};
constexpr int kApparent[3] = {1834, 1836, 1838};
constexpr int kPf[3] = {1840, 1842, 1844};
constexpr int kAvgCurrent[3] = {1846, 1848, 1850};
constexpr int kAvgActivePos = 1852, kAvgActiveNeg = 1854, kAvgReactivePos = 1856, kAvgReactiveNeg = 1858;
constexpr int kAvgApparent = 1860;
constexpr int kActiveEnergyPos = 1880, kActiveEnergyNeg = 1882, kReactiveEnergyPos = 1884,
              kReactiveEnergyNeg = 1886;

constexpr double kSecondsPerCycle = 1.0;

}  // namespace

void MeterModel::Fill(int cycle, std::uint16_t* registers) {
    if (episode_.requests != nullptr && episode_.requests->load() != requests_seen_) {
        requests_seen_ = episode_.requests->load();
        episode_.first_cycle = cycle;
    }
    const double c = cycle;
    const bool over_voltage = episode_.first_cycle > 0 && cycle >= episode_.first_cycle &&
                              cycle < episode_.first_cycle + episode_.cycles;
    double volts[3], amps[3], pf[3];
    double p_total = 0, q_total = 0, s_total = 0;
    for (int k = 0; k < 3; ++k) {
        volts[k] = over_voltage ? 266.0 + 0.5 * k : 230.0 + 3.0 * std::sin(c / 20.0 + 2.1 * k);
        amps[k] = load_ * (40.0 + 8.0 * std::sin(c / 15.0 + k));
        pf[k] = 0.93 - pf_drop_ + 0.03 * std::sin(c / 30.0 + k);
        const double s = volts[k] * amps[k];
        const double p = s * pf[k];
        const double q = s * std::sqrt(1.0 - pf[k] * pf[k]);
        p_total += p;
        q_total += q;
        s_total += s;
        put_pair(registers, kCurrent[k], amps[k] * 1000.0);
        put_pair(registers, kPhaseVoltage[k], volts[k] * 10.0);
        put_pair(registers, kActive[k], p);
        put_pair(registers, kReactive[k], q);
        put_pair(registers, kApparent[k], s);
        put_pair(registers, kPf[k], pf[k] * 1000.0);
        put_pair(registers, kAvgCurrent[k], load_ * (40.0 + 8.0 * std::sin((c - 0.5) / 15.0 + k)) * 1000.0);
    }
    for (int k = 0; k < 3; ++k) {
        // Phases 120 degrees apart: |Va - Vb| = sqrt(Va² + Vb² + Va·Vb).
        const double a = volts[k], b = volts[(k + 1) % 3];
        put_pair(registers, kLineVoltage[k], std::sqrt(a * a + b * b + a * b) * 10.0);
    }
    put_pair(registers, kStatusPair, cycle & 0xFFFF);
    put_pair(registers, kFrequency, (50.0 + 0.02 * std::sin(c / 10.0)) * 100.0);
    put_pair(registers, kTotalActive, p_total);
    put_pair(registers, kTotalReactive, q_total);
    put_pair(registers, kTotalApparent, s_total);
    put_pair(registers, kTotalPf, p_total / s_total * 1000.0);
    put_pair(registers, kAvgActivePos, p_total);
    put_pair(registers, kAvgActiveNeg, 0);
    put_pair(registers, kAvgReactivePos, q_total);
    put_pair(registers, kAvgReactiveNeg, 0);
    put_pair(registers, kAvgApparent, s_total);

    energy_.active_wh += p_total * kSecondsPerCycle / 3600.0;
    energy_.reactive_varh += q_total * kSecondsPerCycle / 3600.0;
    energy_.exported_wh += 0.01;
    energy_.exported_varh += 0.005;
    put_pair(registers, kActiveEnergyPos, std::floor(energy_.active_wh));
    put_pair(registers, kActiveEnergyNeg, std::floor(energy_.exported_wh));
    put_pair(registers, kReactiveEnergyPos, std::floor(energy_.reactive_varh));
    put_pair(registers, kReactiveEnergyNeg, std::floor(energy_.exported_varh));
    // Registers 1862 to 1879 exist on the meter but carry nothing here.
    for (int r = 1862; r < 1880; ++r) registers[r] = 0;
}
