#include "host/http/http_types.h"

#include <json/value.h>

#include "host/common/json_text.h"

ApiResponse api_error(int status, const std::string& text) {
    Json::Value error;
    error["error"] = text;
    ApiResponse response;
    response.status = status;
    response.body = compact_json(error);
    return response;
}
