#include "host/qmxhost/console_sink.h"

#include <unistd.h>

#include <iomanip>
#include <sstream>

#include "framework/control_codes.h"
#include "framework/qmx_vdevice.h"
#include "host/qmxhost/meter_readings.h"
#include "host/qmxhost/write_request.h"

namespace {

// Columns on a terminal: CJK characters take two, the rest one.
std::size_t display_width(const std::string& text) {
    std::size_t width = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if ((byte & 0xC0) == 0x80) continue;  // continuation byte
        width += byte >= 0xE0 ? 2 : 1;
    }
    return width;
}

std::string padded(const std::string& text, std::size_t width) {
    const std::size_t used = display_width(text);
    return text + std::string(used < width ? width - used : 1, ' ');
}

}  // namespace

std::string readings_table(const std::vector<unsigned char>& record, const std::string& snapshot_text) {
    const Json::Value snapshot = snapshot_object(snapshot_text);
    std::ostringstream table;
    for (const MeterReading& reading : kMeterReadings) {
        const auto value = decode_reading(record, reading);
        if (!value) continue;
        std::ostringstream shown;
        shown << std::fixed << std::setprecision(reading_decimals(reading)) << *value << " " << reading.unit;
        const Json::Value& whole = snapshot[reading.chinese_name];
        table << "    " << padded(reading.label, 30) << std::setw(16) << shown.str() << "   "
              << padded(reading.chinese_name, 16) << (whole.isNull() ? "-" : whole.asString()) << "\n";
    }
    return table.str();
}

void ConsoleSink::Line(const std::string& text) {
    std::fputs((text + "\n").c_str(), out_);
    std::fflush(out_);
}

void ConsoleSink::Published(const QMXVDevice& device, std::uint32_t, const unsigned char* data, int length, bool) {
    last_record_[device.DataId()] = std::vector<unsigned char>(data, data + (length > 0 ? length : 0));
}

void ConsoleSink::AlarmReported(const QMXVDevice&, const AlarmCall& report) {
    if (report.state) raised_.push_back(report.Keep());
}

void ConsoleSink::Started(const Json::Value& facts) {
    if (verbosity_ == Verbosity::quiet) return;
    const std::string where = facts.isMember("tcp") ? facts["tcp"].asString() + " over "
                                                     : facts["port"].asString() + " at ";
    Line("qmxhost " + facts["version"].asString() + ": " + facts["plugin"].asString() + " on " + where +
         facts["line"].asString() + ", " +
         std::to_string(facts["meters"].asInt()) + " meter(s)");
}

void ConsoleSink::CycleDone(const QMXVDevice& device, const CycleFacts& facts, const std::string& snapshot_text) {
    std::ostringstream head;
    head << "cycle " << facts.cycle;
    if (facts.planned > 0) head << "/" << facts.planned;
    head << "  device " << device.DataId() << "  " << std::fixed << std::setprecision(1) << facts.milliseconds
         << " ms";
    if (verbosity_ == Verbosity::quiet) {
        // Progress on a terminal only, overwritten in place; the summary follows.
        if (facts.planned > 0 && isatty(STDERR_FILENO) != 0) {
            std::fprintf(stderr, "\rcycle %d/%d", facts.cycle, facts.planned);
            progress_shown_ = true;
        }
        raised_.clear();
        return;
    }
    Line(head.str());
    for (const AlarmReport& alarm : raised_) {
        Line("  ALARM " + alarm.alarm_key + " " + alarm.alarm_text + " value " + alarm.value_text + " level " +
             std::to_string(alarm.level));
    }
    raised_.clear();
    if (show_snapshot_text_) std::fputs(("  snapshot: " + snapshot_text).c_str(), out_);
    const auto record = last_record_.find(device.DataId());
    if (record != last_record_.end()) {
        std::fputs(("    " + padded("quantity", 30) + std::string(16 - 8, ' ') + "as read" + "   " +
                    padded("controller", 16) + "snapshot\n")
                       .c_str(),
                   out_);
        std::fputs(readings_table(record->second, snapshot_text).c_str(), out_);
    }
    std::fflush(out_);
}

void ConsoleSink::ExchangeTroubled(const QMXVDevice& device, int cycle, const Exchange& exchange) {
    raised_.clear();
    const std::string where = "cycle " + std::to_string(cycle) + "  device " + std::to_string(device.DataId()) + ": ";
    if (exchange.outcome == Exchange::answered) {
        if (verbosity_ == Verbosity::verbose) {
            Line(where + exchange.request + " answered after " + std::to_string(exchange.attempts) + " attempts");
        }
        return;
    }
    Line(where + exchange.request + " failed after " + std::to_string(exchange.attempts) + " attempt(s): " +
         outcome_name(exchange.outcome) + " (" + exchange.message + ")");
}

void ConsoleSink::WriteStatus(const QMXVDevice& device, std::int32_t status, const std::vector<std::uint16_t>& words) {
    std::string written;
    for (std::size_t i = 0; i < words.size(); ++i) {
        written += (i == 0 ? "" : i == 1 ? "=" : ",") + std::to_string(words[i]);
    }
    Line("write " + written + " to device " + std::to_string(device.DataId()) + ": status " + std::to_string(status) +
         " (" + write_outcome_text(status) + ")");
}

void ConsoleSink::Reloaded(const QMXVDevice& device, bool taken) {
    if (verbosity_ == Verbosity::quiet) return;
    Line("device " + std::to_string(device.DataId()) + ": newest history record " +
         (taken ? "reloaded" : "refused by the device"));
}

void ConsoleSink::BackingOff(const QMXVDevice& device, int cycle, int failures, int next_cycle) {
    Line("cycle " + std::to_string(cycle) + "  device " + std::to_string(device.DataId()) + ": " +
         std::to_string(failures) + " failed cycles in a row; backing off, next try in cycle " +
         std::to_string(next_cycle));
}

void ConsoleSink::Recovered(const QMXVDevice& device, int cycle) {
    Line("cycle " + std::to_string(cycle) + "  device " + std::to_string(device.DataId()) + ": answering again");
}

void ConsoleSink::SlotsSkipped(int cycle, int skipped) {
    if (verbosity_ == Verbosity::quiet) return;
    Line("after cycle " + std::to_string(cycle) + ": " + std::to_string(skipped) +
         " slot(s) skipped to keep the poll rate");
}

void ConsoleSink::Problem(const std::string& text) { Line(text); }

void ConsoleSink::Summary(const Json::Value&, const std::string& for_people) {
    if (progress_shown_) std::fputs("\n", stderr);
    std::fputs(for_people.c_str(), out_);
    std::fflush(out_);
}
