#include "host/meter_view/register_map_text.h"

#include "host/meter_view/meter_map.h"
#include "host/meter_view/meter_readings.h"

namespace {

std::string scale_of(const MeterReading& reading) {
    if (reading.divisor == 1) return "1";
    return "1/" + std::to_string(reading.divisor);
}

}  // namespace

std::string served_register_map() {
    std::string text =
        "# The meters' registers over Modbus TCP\n\n"
        "<!-- Made by served_register_map() (host/meter_view/register_map_text.cpp) from the meter view's\n"
        "     tables; a test fails when this file differs: QV5810_WRITE_DOCS=1 ctest -R RegisterMap writes it. -->\n\n"
        "`qmxhost --modbus-server [ADDR:]PORT` answers function 3 (read holding registers) and 4 (read input\n"
        "registers, the same registers) for each meter under its slave address as the unit id, with the\n"
        "registers its last completed poll cycle read. A read must lie wholly inside one block:\n\n"
        "| block | registers (0-based) | mbpoll `-r` (1-based) | count |\n|---|---|---|---:|\n";
    int number = 1;
    for (const MeterBlock& block : kMeterBlocks) {
        const int last = block.first_register + block.count - 1;
        text += "| " + std::to_string(number++) + " | " + std::to_string(block.first_register) + "–" +
                std::to_string(last) + " | " + std::to_string(block.first_register + 1) + "–" +
                std::to_string(last + 1) + " | " + std::to_string(block.count) + " |\n";
    }
    text +=
        "\nEach quantity is a signed 32-bit number in two registers, the high word first (at the lower\n"
        "address), as the meter sends it; multiply by the scale for the unit. Registers of a block that\n"
        "hold no quantity are served as the meter answered them.\n\n"
        "| register | mbpoll `-r` | quantity | unit | scale | history column |\n|---:|---:|---|---|---|---|\n";
    for (const MeterReading& reading : kMeterReadings) {
        text += "| " + std::to_string(reading.high_register) + "–" + std::to_string(reading.high_register + 1) + " | " +
                std::to_string(reading.high_register + 1) + " | " + reading.label + " | " +
                (*reading.unit != '\0' ? reading.unit : "—") + " | " + scale_of(reading) + " | `" + reading.column +
                "` |\n";
    }
    text +=
        "\nSo phase 1 voltage, 230.0 V, reads `0 2300` at registers 1806–1807:\n\n"
        "    mbpoll -a 1 -r 1807 -c 2 -t 4 -1 127.0.0.1 -p 1502\n";
    return text;
}
