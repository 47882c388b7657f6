// What qv5810-sim served, read back from its --log: the registers of each
// complete poll cycle (all four blocks), for tests to work out expected values.
#pragma once

#include <cstdio>
#include <map>
#include <set>
#include <string>

#include "tests/support/json_text.h"
#include "tests/support/meter_oracle.h"

inline std::map<int, oracle::RegisterBank> served_registers(const std::string& log, int slave = 1) {
    std::map<int, oracle::RegisterBank> banks;
    std::map<int, std::set<int>> blocks;  // the block addresses served, retries counted once
    std::FILE* file = std::fopen(log.c_str(), "r");
    char line[8192];
    while (file != nullptr && std::fgets(line, sizeof line, file) != nullptr) {
        const Json::Value event = parse_json(line).value_or(Json::Value());
        if (event["event"].asString() != "served" || event["slave"].asInt() != slave) continue;
        const int cycle = event["cycle"].asInt();
        const int address = event["address"].asInt();
        for (Json::ArrayIndex i = 0; i < event["values"].size(); ++i) {
            banks[cycle].Set(address + static_cast<int>(i), static_cast<std::uint16_t>(event["values"][i].asUInt()));
        }
        blocks[cycle].insert(address);
    }
    if (file != nullptr) std::fclose(file);
    for (auto it = banks.begin(); it != banks.end();) {
        it = blocks[it->first].size() == 4 ? std::next(it) : banks.erase(it);
    }
    return banks;
}
