// The JSON snapshot of a completed record and the answers to 801 and 803.
#pragma once

#include <string>

#include <json/value.h>

#include "meter/qv5810_record.h"

// Assigns every quantity of `record` as a whole number under its Chinese
// name, then the record's time text under "更新时间". Members already in
// `snapshot` are replaced, never removed.
void build_snapshot(const QV5810_Data_t& record, Json::Value& snapshot);

// The compact writer's text of `snapshot`: one line ending in a line feed.
std::string compact_snapshot_text(const Json::Value& snapshot);

// Command 801: copies `text` when it fits (result 0), else copies nothing
// (result -1); either way the written length is the text's length.
int answer_snapshot_text(const std::string& text, void* output, int capacity, int& written);

// Command 803: the address of the snapshot in the first bytes of the
// output (result 0), or -1 when there is no room; the written length is
// the address's size either way.
int answer_snapshot_handle(const Json::Value* snapshot, void* output, int capacity, int& written);
