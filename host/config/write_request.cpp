#include "host/config/write_request.h"

#include <json/reader.h>
#include <json/value.h>

#include <algorithm>
#include <memory>
#include <sstream>

#include <modbus.h>
#include <sqlite3.h>

#include "framework/control_codes.h"
#include "host/common/number_text.h"

namespace {

// A number with no fraction (4660 or 4660.0) in the range; not a boolean or text.
bool whole_in(const Json::Value& value, std::int64_t low, std::int64_t high) {
    return value.isIntegral() && value.isInt64() && value.asInt64() >= low && value.asInt64() <= high;
}

// JsonCpp takes comments, "01", "+1" and "1." even in its strict mode; SQLite's
// json_valid() takes RFC 8259 JSON alone.
bool strict_json(const std::string& text) {
    sqlite3* db = nullptr;
    bool valid = false;
    sqlite3_stmt* check = nullptr;
    if (sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "SELECT json_valid(?)", -1, &check, nullptr) == SQLITE_OK &&
        sqlite3_bind_text(check, 1, text.data(), static_cast<int>(text.size()), SQLITE_STATIC) == SQLITE_OK &&
        sqlite3_step(check) == SQLITE_ROW) {
        valid = sqlite3_column_int(check, 0) == 1;
    }
    sqlite3_finalize(check);
    sqlite3_close(db);
    return valid;
}

}  // namespace

std::vector<std::uint16_t> parse_write_request(const std::string& body, std::string& problem) {
    Json::CharReaderBuilder builder;
    builder["strictRoot"] = true;
    builder["rejectDupKeys"] = true;
    builder["failIfExtra"] = true;
    builder["stackLimit"] = 8;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value request;
    std::string errors;
    try {
        if (!reader->parse(body.data(), body.data() + body.size(), &request, &errors)) {
            // "* Line 1, Column 15\n  Missing ',' or '}'...": the place, then what is wrong.
            std::string where = errors.substr(0, errors.find('\n'));
            if (where.rfind("* ", 0) == 0) where.erase(0, 2);
            std::string what = errors.substr(std::min(errors.size(), errors.find('\n') + 1));
            what = what.substr(what.find_first_not_of(' ') == std::string::npos ? what.size() : what.find_first_not_of(' '));
            problem = "the body is not JSON: " + where + (what.empty() ? "" : ": " + what.substr(0, what.find('\n')));
            return {};
        }
    } catch (const std::exception& e) {
        problem = std::string("the body is not JSON: ") + e.what();
        return {};
    }
    if (!strict_json(body)) {
        problem = "the body is not strict JSON (no comments, trailing commas, leading zeros or '+')";
        return {};
    }
    if (!request.isObject()) {
        problem = "the body must be an object {\"address\": A, \"values\": [V, ...]}";
        return {};
    }
    for (const std::string& name : request.getMemberNames()) {
        if (name != "address" && name != "values") {
            problem = "unknown member \"" + name + "\": only \"address\" and \"values\"";
            return {};
        }
    }
    const Json::Value& address = request["address"];
    if (!whole_in(address, 0, 0xFFFF)) {
        problem = "\"address\" must be a whole number 0…65535";
        return {};
    }
    const Json::Value& values = request["values"];
    if (!values.isArray() || values.empty() || values.size() > MODBUS_MAX_WRITE_REGISTERS) {
        problem = "\"values\" must be an array of 1…" + std::to_string(MODBUS_MAX_WRITE_REGISTERS) + " numbers";
        return {};
    }
    std::vector<std::uint16_t> words{static_cast<std::uint16_t>(address.asInt())};
    for (Json::ArrayIndex i = 0; i < values.size(); ++i) {
        if (!whole_in(values[i], 0, 0xFFFF)) {
            problem = "\"values\"[" + std::to_string(i) + "] must be a whole number 0…65535";
            return {};
        }
        words.push_back(static_cast<std::uint16_t>(values[i].asInt()));
    }
    problem = write_span_problem(words);
    if (!problem.empty()) return {};
    return words;
}

std::vector<std::uint16_t> parse_write_words(const std::string& text, std::string& problem) {
    problem.clear();
    const auto equals = text.find('=');
    if (equals == std::string::npos) {
        problem = "expected ADDR=V[,V...]";
        return {};
    }
    std::vector<std::string> items{text.substr(0, equals)};
    std::stringstream values(text.substr(equals + 1));
    for (std::string item; std::getline(values, item, ',');) items.push_back(item);
    if (text.back() == ',') items.emplace_back();  // an empty last value is refused below
    std::vector<std::uint16_t> words;
    try {
        for (const std::string& item : items) words.push_back(static_cast<std::uint16_t>(parse_whole(item, 0, 0xFFFF)));
    } catch (const std::invalid_argument& e) {
        problem = e.what();
        return {};
    }
    if (words.size() < 2 || words.size() > 1 + MODBUS_MAX_WRITE_REGISTERS) {
        problem = "1 to " + std::to_string(MODBUS_MAX_WRITE_REGISTERS) + " values after the address";
        return {};
    }
    // The registers written are address, address + 1, ...: all must exist.
    problem = write_span_problem(words);
    if (!problem.empty()) return {};
    return words;
}

std::string write_span_problem(const std::vector<std::uint16_t>& words) {
    if (words.size() < 2) return "";
    const std::size_t count = words.size() - 1;
    if (std::size_t{words.front()} + count - 1 <= 0xFFFF) return "";
    return std::to_string(count) + " values from register " + std::to_string(words.front()) + " run past register 65535";
}

void put_written_registers(Json::Value& into, const std::vector<std::uint16_t>& words) {
    if (words.empty()) return;
    into["address"] = words.front();
    Json::Value& values = into["values"] = Json::Value(Json::arrayValue);
    for (std::size_t i = 1; i < words.size(); ++i) values.append(words[i]);
}

Json::Value write_result_json(const std::vector<std::uint16_t>& words, std::int32_t status) {
    Json::Value result;
    put_written_registers(result, words);
    result["status"] = status;
    result["outcome"] = write_outcome_text(status);
    result["confirmed"] = status == write_outcome::kConfirmed;
    return result;
}

const char* write_outcome_text(std::int32_t status) {
    switch (status) {
    case write_outcome::kConfirmed: return "confirmed";
    case write_outcome::kNotConfirmed: return "not confirmed";
    default: return "no answer";
    }
}
