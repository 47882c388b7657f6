#include "host/core/report.h"

#include <json/reader.h>

#include <sstream>

#include "host/core/write_request.h"

Json::Value snapshot_object(const std::string& snapshot_text) {
    Json::Value value;
    std::string errors;
    std::istringstream in(snapshot_text);
    if (!Json::parseFromStream(Json::CharReaderBuilder(), in, &value, &errors) || !value.isObject()) {
        return Json::Value(Json::objectValue);
    }
    return value;
}

Json::Value exchange_json(std::uint32_t data_id, int cycle, const Exchange& exchange) {
    Json::Value event;
    event["device"] = data_id;
    event["cycle"] = cycle;
    event["request"] = exchange.request;
    event["attempts"] = exchange.attempts;
    if (exchange.outcome != Exchange::answered) {
        event["kind"] = outcome_name(exchange.outcome);
        event["message"] = exchange.message;
    }
    return event;
}

Json::Value write_json(const WriteReport& report) {
    Json::Value event;
    event["device"] = report.meter->data_id;
    put_written_registers(event, report.words);
    event["status"] = report.status;
    event["outcome"] = write_outcome_text(report.status);
    return event;
}

Json::Value backoff_json(const BackoffReport& report) {
    Json::Value event;
    event["device"] = report.meter->data_id;
    event["cycle"] = report.cycle;
    event["failed_in_a_row"] = report.failures;
    event["next_cycle"] = report.next_cycle;
    return event;
}

Json::Value recovered_json(const DeviceConfig& meter, int cycle) {
    Json::Value event;
    event["device"] = meter.data_id;
    event["cycle"] = cycle;
    return event;
}
