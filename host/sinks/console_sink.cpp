#include "host/sinks/console_sink.h"

#include <unistd.h>

#include <iomanip>
#include <sstream>

#include "host/config/write_request.h"
#include "host/report/report_json.h"

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

// A meter as the journal names it: its data id and its name.
std::string meter_text(const DeviceConfig& meter) { return "device " + std::to_string(meter.data_id) + " (" + meter.name + ")"; }

void meter_summary_text(std::ostringstream& text, const MeterSummary& meter, bool tcp) {
    const MeterHealth& h = meter.health;
    text << "  device " << meter.meter->data_id << " (" << meter.meter->name << ", slave " << meter.meter->slave
         << "): " << h.completed
         << " cycles completed, " << h.failed << " failed";
    if (h.skipped > 0) text << ", " << h.skipped << " skipped while backed off";
    text << ", " << h.retries << " retries";
    for (const auto& [why, count] : h.failures) {
        if (count > 0) text << ", " << count << " " << why;
    }
    text << (h.completed > 0 ? "\n    mean cycle " : "\n    no cycle completed");
    if (h.completed > 0) text << h.MeanCycleMs() << " ms";
    if (h.latency.count == 0) {
        text << "; no request was answered\n";
        return;
    }
    text << "; per request latency min/median/max " << h.latency.min << "/" << h.latency.median << "/" << h.latency.max
         << " ms";
    if (!tcp) {
        text << "; wire time median " << h.wire.median << " ms";
        if (h.turnaround.count > 0) {
            text << ", meter turn-around (latency less wire time) median " << h.turnaround.median << " ms";
        }
    }
    text << "\n";
}

std::string summary_text(const RunSummary& summary) {
    const LineSettings& line = *summary.line.settings;
    std::ostringstream text;
    text << std::fixed << std::setprecision(1) << "\nsummary of " << summary.line.name << ": " << summary.cycles << " cycles";
    if (line.IsTcp()) {
        text << " over Modbus TCP to " << line.Name();
    } else {
        text << " on " << line.port << " at " << line.baud << " baud, " << line.data_bits << line.parity << line.stop_bits << " ("
             << line.BitsPerCharacter() << " bits per character); wire limit of one cycle " << summary.line.wire_limit_ms
             << " ms";
    }
    if (summary.skipped_slots > 0) text << "; " << summary.skipped_slots << " slots skipped to keep the rate";
    text << "\n";
    for (const MeterSummary& meter : summary.meters) meter_summary_text(text, meter, line.IsTcp());
    return text.str();
}

}  // namespace

std::string readings_table(const CycleReport& report) {
    std::ostringstream table;
    for (const Quantity& quantity : report.quantities) {
        const MeterReading& reading = *quantity.reading;
        const Json::Value& whole = report.snapshot[reading.chinese_name];
        table << "    " << padded(reading.label, 30) << std::setw(16) << quantity.Text() + " " + reading.unit << "   "
              << padded(reading.chinese_name, 16) << (whole.isNull() ? "-" : whole.asString()) << "\n";
    }
    return table.str();
}

void ConsoleSink::Line(const std::string& text) { out_.Write(text + "\n"); }

// In every verbosity: what a service's journal begins with.
void ConsoleSink::Started(const Json::Value& facts) {
    std::string text = "qmxhost " + facts["version"].asString() + " with " + facts["plugin"].asString();
    if (facts["config"].isString()) text += ", configuration " + facts["config"].asString();
    if (facts["site"].isString()) text += ", site " + facts["site"].asString();
    text += "\n";
    for (const Json::Value& line : facts["lines"]) {
        std::string meters;
        for (const Json::Value& name : line["meter_names"]) meters += (meters.empty() ? "" : ", ") + name.asString();
        text += "  line \"" + line["name"].asString() + "\": " + (line["simulated"].asBool() ? "SIMULATED meters on " : "") +
                (line.isMember("tcp") ? line["tcp"].asString() : line["port"].asString()) + ", " + line["line"].asString() +
                ", " + std::to_string(line["meters"].asInt()) + " meter(s) (" + meters + ")" +
                (line["simulated"].asBool() ? ": their readings are made up, and every outlet takes them as any others" : "") +
                "\n";
    }
    std::string outlets;
    const auto outlet = [&](const char* key, const char* what) {
        if (facts[key].isString()) outlets += (outlets.empty() ? "" : "; ") + std::string(what) + " " + facts[key].asString();
    };
    outlet("history", "history");
    outlet("http", "page");
    outlet("mqtt", "broker");
    outlet("modbus_server", "Modbus server");
    outlet("history_forward", "central history");
    for (const Json::Value& hook : facts["notify"]) outlets += (outlets.empty() ? "" : "; ") + std::string("web hook ") + hook.asString();
    out_.Write(text + "  outlets: " + (outlets.empty() ? "none beside this output" : outlets) + "\n");
}

void ConsoleSink::Troubles(const std::vector<RequestTrouble>& troubled, int cycle, const DeviceConfig& meter) {
    if (verbosity_ == Verbosity::quiet) return;
    const std::string where = "cycle " + std::to_string(cycle) + "  " + meter_text(meter) + ": ";
    for (const RequestTrouble& trouble : troubled) {
        if (!trouble.answered) {
            Line(where + trouble.request + " failed after " + std::to_string(trouble.attempts) + " attempt(s): " +
                 trouble.kind + " (" + trouble.message + ")");
        } else if (verbosity_ == Verbosity::verbose) {
            Line(where + trouble.request + " answered after " + std::to_string(trouble.attempts) + " attempts");
        }
    }
}

void ConsoleSink::Cycle(const std::shared_ptr<const CycleReport>& report) {
    Troubles(report->troubled, report->cycle, *report->meter);
    if (report->kind == CycleKind::reload) {
        if (verbosity_ != Verbosity::quiet) {
            Line(meter_text(*report->meter) + ": newest history record " +
                 (report->Published() ? "reloaded" : "refused by the device"));
        }
        return;
    }
    Changes(*report);
    if (report->kind != CycleKind::poll) return;
    if (verbosity_ == Verbosity::quiet) {
        // Progress on a terminal only, overwritten in place; the summary follows.
        if (report->planned > 0 && isatty(STDERR_FILENO) != 0) {
            std::fprintf(stderr, "\rcycle %d/%d", report->cycle, report->planned);
            progress_shown_ = true;
        }
        return;
    }
    Readings(*report);
}

void ConsoleSink::Changes(const CycleReport& report) {
    Told& told = told_[report.meter->data_id];
    const std::string where = "cycle " + std::to_string(report.cycle) + "  " + meter_text(*report.meter) + ": ";
    if (report.kind == CycleKind::failed) {
        if (told.failed_cycles++ > 0) return;
        std::string why = "the device published no record";
        for (const RequestTrouble& trouble : report.troubled) {
            if (trouble.answered) continue;
            why = trouble.request + " " + trouble.kind + " (" + trouble.message + ")";
            break;
        }
        return Line(where + "failing: " + why);
    }
    if (report.kind != CycleKind::poll) return;
    if (told.failed_cycles > 0) {
        Line(where + "answering again after " + std::to_string(told.failed_cycles) + " failed cycle(s)");
        told = Told{};
    }
    for (const AlarmChange& change : report.alarm_changes) {
        Line(where + (change.up ? "ALARM " : "alarm cleared ") + change.outcome.key + " " + alarm_text(change.outcome));
    }
}

void ConsoleSink::Readings(const CycleReport& report) {
    std::ostringstream head;
    head << "cycle " << report.cycle;
    if (report.planned > 0) head << "/" << report.planned;
    head << "  " << meter_text(*report.meter) << "  " << std::fixed << std::setprecision(1)
         << report.duration_ms << " ms";
    std::string text = head.str() + "\n";
    if (show_snapshot_text_) text += "  snapshot: " + report.snapshot_text;
    text += "    " + padded("quantity", 30) + std::string(16 - 8, ' ') + "as read" + "   " + padded("controller", 16) +
            "snapshot\n";
    out_.Write(text + readings_table(report));
}

void ConsoleSink::Wrote(const WriteReport& report) {
    Troubles(report.troubled, report.cycle, *report.meter);
    std::string written;
    for (std::size_t i = 0; i < report.words.size(); ++i) {
        written += (i == 0 ? "" : i == 1 ? "=" : ",") + std::to_string(report.words[i]);
    }
    Line("write " + written + " to " + meter_text(*report.meter) + (report.by.empty() ? "" : ", asked by " + report.by) +
         ": status " + std::to_string(report.status) + " (" + write_outcome_text(report.status) + ")");
}

void ConsoleSink::BackingOff(const BackoffReport& report) {
    // Once per length of pause: the longest repeats until the meter answers.
    Told& told = told_[report.meter->data_id];
    const int pause = report.next_cycle - report.cycle - 1;
    if (pause == told.pause) return;
    told.pause = pause;
    Line("cycle " + std::to_string(report.cycle) + "  " + meter_text(*report.meter) + ": " +
         std::to_string(report.failures) + " failed cycles in a row; backing off, next try in cycle " +
         std::to_string(report.next_cycle));
}

void ConsoleSink::SlotsSkipped(const LineInfo& line, int cycle, int skipped) {
    if (verbosity_ == Verbosity::quiet) return;
    Line(line.name + ": after cycle " + std::to_string(cycle) + ": " + std::to_string(skipped) +
         " slot(s) skipped to keep the poll rate");
}

void ConsoleSink::Problem(const std::string& text) { Line(text); }

void ConsoleSink::LineEnded(const RunSummary& summary) {
    if (progress_shown_) std::fputs("\n", stderr);
    progress_shown_ = false;
    out_.Write(summary_text(summary));
}

// Said on the output it concerns, should it take lines again; the writer
// says it on standard error as well.
void ConsoleSink::Finished() {
    if (const std::size_t lost = out_.lost(); lost > 0) Line(std::to_string(lost) + " lines not written: stdout blocked");
}

void ConsoleSink::Missed(const Gap& gap) {
    Line(std::to_string(gap.events) + " events not shown: the output fell behind");
}
