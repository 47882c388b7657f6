// The bench host's own reading of the meter record, for people: each
// quantity with the decimals the meter reports, an English label beside the
// controller's Chinese name, and the column it has in the history's view.
// Written from the meter's register map, apart from the plug-in's tables.
// The only place in the bench host, with meter_map.h and alarm_catalogue.h,
// that knows what the meter's registers mean.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Where a reading stands when not every reading can be in front: the
// headline ones always; the per-phase powers at hand; the rest there for
// whoever looks for them.
enum class Prominence { headline, at_hand, on_request };

struct MeterReading {
    const char* label;         // English, for the console
    const char* column;        // in the history's readings view
    const char* chinese_name;  // the name the controller's snapshot uses
    int high_register;         // the low half is the next register
    int divisor;               // raw value / divisor = value in `unit`
    const char* unit;
    bool counter;              // a running total (the energies): its last value says more than a mean
    int glance;                // its place on the site's overview, from 1; 0: not shown there
    Prominence prominence;
};

extern const std::array<MeterReading, 38> kMeterReadings;

// The reading whose high register is `high_register`, or nullptr.
const MeterReading* reading_at(int high_register);
// Decimals the divisor gives: 0 for 1, 1 for 10, 2 for 100, 3 for 1000.
int reading_decimals(const MeterReading& reading);
// The reading from a 167-byte record (registers stored little-endian, the
// high half first); nothing when the record is too short.
std::optional<double> decode_reading(const std::vector<unsigned char>& record, const MeterReading& reading);
// The same as the meter counts it: the register pair as a signed 32-bit
// number, before the divisor.
std::optional<std::int32_t> raw_reading(const std::vector<unsigned char>& record, const MeterReading& reading);
// One quantity of a record, decoded: what every outlet shows of it.
struct Quantity {
    const MeterReading* reading = nullptr;  // its row: label, column, unit, decimals
    std::int32_t count = 0;                 // as the meter counts it, before the divisor
    double value = 0;                       // in the row's unit

    int decimals() const;
    // Rounded to its decimals, so that 230.1 goes out as 230.1.
    double Rounded() const;
    // With its decimals, without the unit: "230.1".
    std::string Text() const;
};

// Every quantity a record holds, in the table's order; none of a record too
// short to hold them.
std::vector<Quantity> decode_quantities(const std::vector<unsigned char>& record);

// A register pair as the meter counts it: the high register, then the low,
// as one signed 32-bit number.
std::int32_t pair_value(std::uint16_t high, std::uint16_t low);
