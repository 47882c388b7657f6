// A register write asked for from outside the poll loop (the HTTP API, a
// broker): its JSON form, checked before anything reaches a device.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <json/value.h>

struct WriteRequest {
    std::uint32_t device = 0;          // data id of the meter
    std::vector<std::uint16_t> words;  // the first register, then the values
    std::string by;                    // who asked, for the journal: "login anna", "MQTT", ...
};

// `{"address": 256, "values": [4660]}`: an address 0…65535 and 1…123 values
// 0…65535 whose registers all exist, nothing else. Returns the words, or
// sets `problem` to what is wrong and returns none.
std::vector<std::uint16_t> parse_write_request(const std::string& body, std::string& problem);

// `ADDR=V[,V...]` as the command line takes it: the first register, then
// 1…123 values, each decimal or hexadecimal after 0x, all registers within
// the map. Returns the words, or sets `problem` and returns none.
std::vector<std::uint16_t> parse_write_words(const std::string& text, std::string& problem);

// What a device's write status means for people: "confirmed", "not confirmed", "no answer".
const char* write_outcome_text(std::int32_t status);

// "N values from register A run past register 65535" when the registers
// `words` would write do not all exist, else empty.
std::string write_span_problem(const std::vector<std::uint16_t>& words);

// "address" and "values" of a write of `words` into `into`; nothing for none.
void put_written_registers(Json::Value& into, const std::vector<std::uint16_t>& words);
// {"address", "values", "status", "outcome", "confirmed"} of a write carried out.
Json::Value write_result_json(const std::vector<std::uint16_t>& words, std::int32_t status);
