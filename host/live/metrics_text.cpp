#include "host/live/metrics_text.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <map>
#include <sstream>

#include "host/live/device_view.h"
#include "host/meter_view/meter_readings.h"

namespace {

constexpr const char* kPrefix = "qv5810_";

// A unit of the meter's table, as Prometheus' base unit: the name's suffix
// and what one of the meter's units is in it.
struct BaseUnit {
    const char* unit;
    const char* suffix;
    double factor;
    const char* own = nullptr;  // a counter's: its name as the meter counts it, in the meter's unit
};
constexpr BaseUnit kBaseUnits[] = {
    {"A", "amperes", 1},  {"V", "volts", 1},       {"Hz", "hertz", 1},
    {"kW", "watts", 1000}, {"kvar", "volt_amperes_reactive", 1000}, {"kVA", "volt_amperes", 1000},
    {"", "ratio", 1},     {"Wh", "joules", 3600, "watthours"},  {"varh", "var_seconds", 3600, "varhours"},
};

const BaseUnit* base_unit(const std::string& unit) {
    for (const BaseUnit& base : kBaseUnits) {
        if (unit == base.unit) return &base;
    }
    return nullptr;
}

std::string number(double value) {
    char text[64];
    const auto written = std::to_chars(text, text + sizeof text, value);
    return std::string(text, written.ptr);
}

std::string escaped(const std::string& value) {
    std::string out;
    for (const char c : value) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

// The history's column as a metric's stem and labels: the phase's digit
// and a line voltage's pair become labels, the unit's token goes.
// "current_1_a" -> current{phase="1"}, "line_voltage_u12_v" ->
// line_voltage{pair="12"}, "avg_active_power_pos_kw" -> mean_active_power_imported.
std::string stem_of(const MeterReading& reading, std::string& labels) {
    std::vector<std::string> tokens;
    std::stringstream column(reading.column);
    for (std::string token; std::getline(column, token, '_');) tokens.push_back(token);
    std::string unit_token;
    for (const char c : std::string(reading.unit)) unit_token += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (!unit_token.empty() && !tokens.empty() && tokens.back() == unit_token) tokens.pop_back();
    std::string stem;
    for (const std::string& token : tokens) {
        std::string word = token;
        if (token.size() == 1 && token[0] >= '1' && token[0] <= '3') {
            labels += ",phase=\"" + token + "\"";
            continue;
        }
        if (token.size() == 3 && token[0] == 'u') {
            labels += ",pair=\"" + token.substr(1) + "\"";
            continue;
        }
        if (token == "avg") word = "mean";
        if (token == "pos") word = "imported";
        if (token == "neg") word = "exported";
        stem += (stem.empty() ? "" : "_") + word;
    }
    return stem;
}

// The quantity in words, for every phase or pair the family holds:
// "phase 1 voltage" -> "phase voltage, per phase".
std::string help_of(const MeterReading& reading, const std::string& labels) {
    std::stringstream label(reading.label);
    std::string help;
    for (std::string word; label >> word;) {
        const bool phase = word.size() == 1 && word[0] >= '1' && word[0] <= '3';
        const bool pair = word.size() == 3 && word[0] == 'U';
        if (!phase && !pair) help += (help.empty() ? "" : " ") + word;
    }
    if (labels.find(",phase=") != std::string::npos) help += ", per phase";
    if (labels.find(",pair=") != std::string::npos) help += ", per pair of phases";
    return help;
}

// Families in the order first met; each with its HELP, TYPE and samples.
class Families {
public:
    void Add(const std::string& name, const char* type, const std::string& help, const std::string& sample) {
        auto [at, added] = index_.try_emplace(name, families_.size());
        if (added) families_.push_back({name, type, help, {}});
        families_[at->second].samples.push_back(sample);
    }
    std::string Text() const {
        std::string out;
        for (const Family& family : families_) {
            out += "# HELP " + family.name + " " + family.help + "\n# TYPE " + family.name + " " + family.type + "\n";
            for (const std::string& sample : family.samples) out += sample + "\n";
        }
        return out;
    }

private:
    struct Family {
        std::string name, type, help;
        std::vector<std::string> samples;
    };
    std::vector<Family> families_;
    std::map<std::string, std::size_t> index_;
};

void add_quantities(Families& families, const std::string& meter, const std::vector<unsigned char>& record) {
    for (const MeterReading& reading : kMeterReadings) {
        const BaseUnit* base = base_unit(reading.unit);
        const std::optional<std::int32_t> raw = raw_reading(record, reading);
        if (base == nullptr || !raw) continue;
        std::string labels = meter;
        const std::string stem = kPrefix + stem_of(reading, labels);
        const double value = *raw * base->factor / reading.divisor;
        const std::string help = help_of(reading, labels);
        if (!reading.counter) {
            families.Add(stem + "_" + base->suffix, "gauge", help, stem + "_" + base->suffix + "{" + labels + "} " + number(value));
            continue;
        }
        const std::string total = stem + "_" + base->suffix + "_total";
        families.Add(total, "counter", help, total + "{" + labels + "} " + number(value));
        const std::string own = stem + "_" + base->own;
        families.Add(own, "gauge", help + ", as the meter counts it", own + "{" + labels + "} " + number(*raw));
    }
}

void add_alarms(Families& families, const std::string& meter, const CycleReport& report) {
    const std::string name = std::string(kPrefix) + "alarm_active";
    for (const AlarmReport& alarm : report.alarms) {
        families.Add(name, "gauge", "1 while the rule's threshold is crossed, 0 when not; rules the meter judged only",
                     name + "{" + meter + ",key=\"" + escaped(alarm.alarm_key) + "\",text=\"" +
                         escaped(alarm.alarm_text) + "\",level=\"" + std::to_string(alarm.level) + "\"} " +
                         (alarm.state ? "1" : "0"));
    }
}

void add_health(Families& families, const std::string& meter, const MeterHealth& health) {
    const std::string cycles = std::string(kPrefix) + "cycles_total";
    const char* help = "the meter's poll cycles by outcome; skipped: left out while backed off";
    families.Add(cycles, "counter", help, cycles + "{" + meter + ",outcome=\"completed\"} " + std::to_string(health.completed));
    families.Add(cycles, "counter", help, cycles + "{" + meter + ",outcome=\"failed\"} " + std::to_string(health.failed));
    families.Add(cycles, "counter", help, cycles + "{" + meter + ",outcome=\"skipped\"} " + std::to_string(health.skipped));
    const std::string failures = std::string(kPrefix) + "request_failures_total";
    for (const auto& [cause, count] : health.failures) {
        families.Add(failures, "counter", "requests or cycles that failed, by cause",
                     failures + "{" + meter + ",cause=\"" + escaped(cause) + "\"} " + std::to_string(count));
    }
    const std::string retries = std::string(kPrefix) + "request_retries_total";
    families.Add(retries, "counter", "further attempts after a failed one", retries + "{" + meter + "} " + std::to_string(health.retries));
    const std::string latency = std::string(kPrefix) + "request_latency_seconds";
    const char* latency_help = "answered requests, from the request sent to the answer taken";
    std::uint64_t below = 0;
    const LatencyBuckets& buckets = health.latency_buckets;
    for (std::size_t i = 0; i < buckets.counts.size(); ++i) {
        below += buckets.counts[i];
        const std::string le = i < LatencyBuckets::kUpperMs.size() ? number(LatencyBuckets::kUpperMs[i] / 1000) : "+Inf";
        families.Add(latency, "histogram", latency_help,
                     latency + "_bucket{" + meter + ",le=\"" + le + "\"} " + std::to_string(below));
    }
    families.Add(latency, "histogram", latency_help, latency + "_sum{" + meter + "} " + number(buckets.sum_ms / 1000));
    families.Add(latency, "histogram", latency_help, latency + "_count{" + meter + "} " + std::to_string(below));
}

}  // namespace

std::string metrics_text(const std::vector<LiveMeter>& meters, const std::string& line, Clock::time_point now) {
    Families families;
    for (const LiveMeter& live : meters) {
        const DeviceConfig& config = *live.config;
        const std::string meter = "meter=\"" + std::to_string(config.data_id) + "\",name=\"" + escaped(config.name) +
                                  "\",slave=\"" + std::to_string(config.slave) + "\",line=\"" + escaped(line) + "\"";
        const bool fresh = live.completed_at && milliseconds_between(*live.completed_at, now) <= kStaleAfterSeconds * 1000;
        const std::string up = std::string(kPrefix) + "meter_fresh";
        families.Add(up, "gauge", "1 while the meter's last completed cycle is recent enough to show its values",
                     up + "{" + meter + "} " + (fresh ? "1" : "0"));
        if (fresh && live.shown && live.shown->kind == CycleKind::poll) {
            const std::string at = std::string(kPrefix) + "last_cycle_timestamp_seconds";
            families.Add(at, "gauge", "when the values shown were read, seconds since the epoch",
                         at + "{" + meter + "} " + number(static_cast<double>(live.shown->utc_ms) / 1000));
            add_quantities(families, meter, live.shown->record);
            add_alarms(families, meter, *live.shown);
        }
        add_health(families, meter, live.health);
    }
    return families.Text();
}
