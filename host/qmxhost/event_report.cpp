#include "host/qmxhost/event_report.h"

#include <json/reader.h>
#include <json/writer.h>

#include <iomanip>
#include <iostream>
#include <sstream>

#include "framework/qmx_vdevice.h"

namespace {

std::string hex(const unsigned char* data, int length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < length; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 0x0F];
    }
    return text;
}

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

Json::Value parse(const std::string& text) {
    Json::Value value;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    Json::Reader().parse(text, value);
#pragma GCC diagnostic pop
    return value;
}

}  // namespace

EventReport::EventReport(std::FILE* json_out, HistoryDb* history) : json_out_(json_out), history_(history) {}

void EventReport::Emit(Json::Value event) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    const std::string line = Json::writeString(builder, event) + "\n";
    std::fputs(line.c_str(), json_out_);
    std::fflush(json_out_);
}

void EventReport::Published(const QMXVDevice& device, std::uint32_t data_id, const unsigned char* data,
                            int length, bool delayed) {
    ++publications_;
    if (!json()) return;
    Json::Value event;
    event["event"] = "publish";
    event["device"] = device.DataId();
    event["data_id"] = data_id;
    event["length"] = length;
    event["delayed"] = delayed;
    event["record"] = hex(data, length);
    Emit(event);
}

void EventReport::HistoryStored(const QMXVDevice& device, const unsigned char* data, int length) {
    if (history_ != nullptr) history_->Store(device.DataId(), std::vector<unsigned char>(data, data + length));
    if (!json()) return;
    Json::Value event;
    event["event"] = "history";
    event["device"] = device.DataId();
    event["length"] = length;
    event["stored"] = history_ != nullptr;
    Emit(event);
}

void EventReport::AlarmReported(const QMXVDevice& device, const AlarmCall& report) {
    if (!json()) {
        if (report.state) raised_.push_back(report.Keep());
        return;
    }
    Json::Value event;
    event["event"] = "alarm";
    event["device"] = device.DataId();
    event["level"] = report.level;
    event["alarm_key"] = report.alarm_key;
    event["signal_key"] = report.signal_key;
    event["alarm_text"] = report.alarm_text;
    event["value_text"] = report.value_text;
    event["state"] = report.state;
    event["count"] = report.count;
    Emit(event);
}

void EventReport::Snapshot(const QMXVDevice& device, const std::string& text, bool show_text) {
    if (json()) {
        Json::Value event;
        event["event"] = "snapshot";
        event["device"] = device.DataId();
        event["text"] = text;
        Emit(event);
        return;
    }
    if (show_text) std::cout << "  snapshot: " << text;
    const Json::Value snapshot = parse(text);
    if (!snapshot.isObject()) return;
    int column = 0;
    std::ostringstream table;
    for (const std::string& name : snapshot.getMemberNames()) {
        const std::string value = snapshot[name].asString();
        const std::size_t used = display_width(name) + display_width(value);
        table << "  " << name << std::string(used < 26 ? 26 - used : 1, ' ') << value;
        if (++column % 3 == 0) table << "\n";
    }
    if (column % 3 != 0) table << "\n";
    std::cout << table.str();
}

void EventReport::CycleDone(const QMXVDevice& device, int cycle, double milliseconds) {
    if (json()) return;
    std::cout << "cycle " << cycle << "  device " << device.DataId() << "  " << std::fixed << std::setprecision(1)
              << milliseconds << " ms" << std::defaultfloat << std::endl;
    for (const AlarmReport& alarm : raised_) {
        std::cout << "  ALARM " << alarm.alarm_key << " " << alarm.alarm_text << " value " << alarm.value_text
                  << " level " << alarm.level << std::endl;
    }
    raised_.clear();
}

void EventReport::WriteStatus(const QMXVDevice& device, std::int32_t status) {
    if (json()) {
        Json::Value event;
        event["event"] = "write_status";
        event["device"] = device.DataId();
        event["status"] = status;
        Emit(event);
        return;
    }
    const char* meaning = status == 1 ? "confirmed" : status == 3 ? "not confirmed" : "no answer";
    std::cout << "write status of device " << device.DataId() << ": " << status << " (" << meaning << ")"
              << std::endl;
}

void EventReport::Error(const QMXVDevice& device, const Exchange& exchange) {
    raised_.clear();
    if (json()) {
        Json::Value event;
        event["event"] = "error";
        event["device"] = device.DataId();
        event["kind"] = outcome_name(exchange.outcome);
        event["request"] = exchange.request;
        event["message"] = exchange.message;
        Emit(event);
        return;
    }
    std::cout << "device " << device.DataId() << ": " << exchange.request << " failed: "
              << outcome_name(exchange.outcome) << " (" << exchange.message << ")" << std::endl;
}

void EventReport::Note(const std::string& text) {
    if (!json()) std::cout << text << std::endl;
}

void EventReport::Summary(const Json::Value& summary, const std::string& for_people) {
    if (json()) {
        Json::Value event = summary;
        event["event"] = "summary";
        Emit(event);
        return;
    }
    std::cout << for_people;
}
