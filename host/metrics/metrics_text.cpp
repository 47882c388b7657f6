#include "host/metrics/metrics_text.h"

#include <cctype>
#include <charconv>
#include <sstream>

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

void append_number(std::string& out, double value) {
    char text[32];
    out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

void append_count(std::string& out, std::uint64_t value) {
    char text[24];
    out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
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

// One sample of a quantity per meter: its family, its own labels (phase or
// pair) and what turns the meter's count into the family's unit.
struct Series {
    const MeterReading* reading;
    std::string labels;  // ",phase=\"1\"", or empty
    double factor;       // family units per meter unit
    // count * factor / divisor, the division last: 2317 tenths are 231.7 V,
    // where 2317 * 0.1 would be 231.70000000000002.
    double Value(std::int32_t count) const { return count * factor / reading->divisor; }
};

struct Family {
    std::string name;
    const char* type;
    std::string help;
    std::vector<Series> series;
};

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
    std::string stem = kPrefix;
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
        stem += (stem.size() == std::string(kPrefix).size() ? "" : "_") + word;
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

void add_series(std::vector<Family>& families, const std::string& name, const char* type, const std::string& help,
                Series series) {
    for (Family& family : families) {
        if (family.name == name) {
            family.series.push_back(std::move(series));
            return;
        }
    }
    families.push_back({name, type, help, {std::move(series)}});
}

// Worked out once from the meter's table.
const std::vector<Family>& quantity_families() {
    static const std::vector<Family> families = [] {
        std::vector<Family> made;
        for (const MeterReading& reading : kMeterReadings) {
            const BaseUnit* base = base_unit(reading.unit);
            if (base == nullptr) continue;
            std::string labels;
            const std::string stem = stem_of(reading, labels);
            const std::string help = help_of(reading, labels);
            if (!reading.counter) {
                add_series(made, stem + "_" + base->suffix, "gauge", help, {&reading, labels, base->factor});
                continue;
            }
            add_series(made, stem + "_" + base->suffix + "_total", "counter", help, {&reading, labels, base->factor});
            add_series(made, stem + "_" + base->own, "gauge", help + ", as the meter counts it", {&reading, labels, 1});
        }
        return made;
    }();
    return families;
}

void append_header(std::string& out, const std::string& name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

// One line: name{meter labels, more} value.
void append_sample(std::string& out, const std::string& name, const std::string& meter, const std::string& more,
                   double value) {
    out += name;
    out += '{';
    out += meter;
    out += more;
    out += "} ";
    append_number(out, value);
    out += '\n';
}

struct Shown {
    const MeterState* live;
    std::string labels;  // meter="1",name="…",slave="1",line="…"
    bool fresh;
};

void append_quantities(std::string& out, const std::vector<Shown>& meters) {
    for (const Family& family : quantity_families()) {
        append_header(out, family.name, family.type, family.help.c_str());
        for (const Shown& meter : meters) {
            if (!meter.fresh) continue;
            for (const Series& series : family.series) {
                const Quantity* quantity = meter.live->shown->QuantityAt(series.reading->high_register);
                if (quantity != nullptr) append_sample(out, family.name, meter.labels, series.labels, series.Value(quantity->count));
            }
        }
    }
}

void append_alarms(std::string& out, const std::vector<Shown>& meters) {
    const std::string name = std::string(kPrefix) + "alarm_active";
    append_header(out, name, "gauge", "1 while the rule's threshold is crossed, 0 when not; rules the meter judged only");
    for (const Shown& meter : meters) {
        if (!meter.fresh) continue;
        for (const AlarmOutcome& alarm : meter.live->shown->alarms) {
            append_sample(out, name, meter.labels,
                          ",key=\"" + escaped(alarm.key) + "\",label=\"" +
                              escaped(alarm.rule != nullptr ? alarm.rule->Label() : "") + "\",text=\"" +
                              escaped(alarm.text) + "\",level=\"" + std::to_string(alarm.level) + "\"",
                          alarm.up ? 1 : 0);
        }
    }
}

void append_health(std::string& out, const std::vector<Shown>& meters) {
    const std::string fresh = std::string(kPrefix) + "meter_fresh";
    append_header(out, fresh, "gauge", "1 while the meter's last completed cycle is recent enough to show its values");
    for (const Shown& meter : meters) append_sample(out, fresh, meter.labels, "", meter.fresh ? 1 : 0);
    const std::string at = std::string(kPrefix) + "last_cycle_timestamp_seconds";
    append_header(out, at, "gauge", "when the values shown were read, seconds since the epoch");
    for (const Shown& meter : meters) {
        if (meter.fresh) append_sample(out, at, meter.labels, "", static_cast<double>(meter.live->shown->utc_ms) / 1000);
    }
    const std::string cycles = std::string(kPrefix) + "cycles_total";
    append_header(out, cycles, "counter", "the meter's poll cycles by outcome; skipped: left out while backed off");
    for (const Shown& meter : meters) {
        const MeterHealth& h = meter.live->health;
        append_sample(out, cycles, meter.labels, ",outcome=\"completed\"", h.completed);
        append_sample(out, cycles, meter.labels, ",outcome=\"failed\"", h.failed);
        append_sample(out, cycles, meter.labels, ",outcome=\"skipped\"", h.skipped);
    }
    const std::string failures = std::string(kPrefix) + "request_failures_total";
    append_header(out, failures, "counter", "requests or cycles that failed, by cause");
    for (const Shown& meter : meters) {
        for (const auto& [cause, count] : meter.live->health.failures) {
            append_sample(out, failures, meter.labels, ",cause=\"" + escaped(cause) + "\"", count);
        }
    }
    const std::string retries = std::string(kPrefix) + "request_retries_total";
    append_header(out, retries, "counter", "further attempts after a failed one");
    for (const Shown& meter : meters) append_sample(out, retries, meter.labels, "", meter.live->health.retries);
    const std::string latency = std::string(kPrefix) + "request_latency_seconds";
    append_header(out, latency, "histogram", "answered requests, from the request sent to the answer taken");
    for (const Shown& meter : meters) {
        const LatencyBuckets& buckets = meter.live->health.latency_buckets;
        std::uint64_t below = 0;
        for (std::size_t i = 0; i < buckets.counts.size(); ++i) {
            below += buckets.counts[i];
            std::string le = ",le=\"+Inf\"";
            if (i < LatencyBuckets::kUpperMs.size()) {
                le = ",le=\"";
                append_number(le, LatencyBuckets::kUpperMs[i] / 1000);
                le += '"';
            }
            append_sample(out, latency + "_bucket", meter.labels, le, static_cast<double>(below));
        }
        append_sample(out, latency + "_sum", meter.labels, "", buckets.sum_ms / 1000);
        out += latency + "_count{" + meter.labels + "} ";
        append_count(out, below);
        out += '\n';
    }
}

}  // namespace

void append_run(std::string& out, const MetricsRun& run) {
    const std::string build = std::string(kPrefix) + "build_info";
    append_header(out, build, "gauge", "1, with the version of qmxhost serving these metrics");
    out += build + "{version=\"" + escaped(run.version) + "\"} 1\n";
    const std::string skipped = std::string(kPrefix) + "slots_skipped_total";
    append_header(out, skipped, "counter", "poll slots of a line left out because the cycle before overran its interval");
    for (const auto& [line, count] : run.skipped_slots) {
        out += skipped + "{line=\"" + escaped(line) + "\"} ";
        append_count(out, count);
        out += '\n';
    }
}

std::string metrics_text(const std::vector<const MeterState*>& meters, const MetricsRun& run, Clock::time_point now) {
    std::vector<Shown> shown;
    for (const MeterState* state : meters) {
        const MeterState& live = *state;
        const DeviceConfig& config = *live.config;
        const bool fresh = live.shown && !live.shown->FreshnessAt(now).stale;
        shown.push_back({&live,
                         "meter=\"" + std::to_string(config.data_id) + "\",name=\"" + escaped(config.name) +
                             "\",slave=\"" + std::to_string(config.slave) + "\",line=\"" + escaped(config.line) + "\"",
                         fresh});
    }
    std::string out;
    out.reserve(12 * 1024 * meters.size());
    append_run(out, run);
    append_health(out, shown);
    append_quantities(out, shown);
    append_alarms(out, shown);
    return out;
}

std::string forward_metrics_text(const ForwardFigures& figures, std::int64_t now_ms) {
    const std::string labels = "target=\"" + escaped(figures.target) + "\"";
    std::string out;
    const struct {
        const char* name;
        const char* type;
        const char* help;
        double value;
    } samples[] = {
        {"forward_up", "gauge", "1 while the history is forwarded to the central database, 0 while it cannot be",
         figures.forwarding ? 1.0 : 0.0},
        {"forward_records_behind", "gauge", "raw records in the history the central database has not yet",
         static_cast<double>(figures.records_behind)},
        {"forward_seconds_behind", "gauge", "the age of the oldest raw record the central database has not yet",
         figures.SecondsBehind(now_ms)},
        {"forward_rows_total", "counter", "rows of every kind forwarded since the start",
         static_cast<double>(figures.forwarded)},
        {"forward_expired_records_total", "counter",
         "raw records the raw window deleted before they were forwarded, since the start",
         static_cast<double>(figures.expired)},
    };
    for (const auto& sample : samples) {
        const std::string name = std::string(kPrefix) + sample.name;
        append_header(out, name, sample.type, sample.help);
        append_sample(out, name, labels, "", sample.value);
    }
    return out;
}
