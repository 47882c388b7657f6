// `qmxhost history --csv FILE`: the history's readings view as CSV.
#pragma once

#include <ostream>
#include <string>

// Throws std::runtime_error when the file is no history of ours.
void export_history_csv(const std::string& path, std::ostream& out);
