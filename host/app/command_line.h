// qmxhost's command line: an option for every row of the settings table
// that has one, the configuration file to read, the history export, the
// month's energy report, and the commissioning commands.
#pragma once

#include <optional>
#include <string>

#include "host/app/commissioning.h"
#include "host/config/settings_table.h"
#include "host/history/history_reader.h"

struct HistoryExport {
    std::string file;
    HistoryQuery query;
    ExportFormat format = ExportFormat::csv;
};

// `qmxhost passwd NAME` or `qmxhost token NAME`: a line for the page's
// credentials file.
struct CredentialWanted {
    bool token = false;  // else a password, read from standard input
    std::string name;
};

// `qmxhost report --month YYYY-MM`: the month's energy and peak demand per meter.
struct MonthReport {
    std::string month;
    std::string history;  // empty: the configuration's
    bool csv = true;      // else JSON lines
};

struct CommandLine {
    std::string config_path;
    CommandLineValues values;  // what the options gave, by row
    std::optional<HistoryExport> history_export;  // `history export FILE ...`: that and nothing else
    std::string central_init;  // `history forward --init URI`: that and nothing else
    std::optional<CredentialWanted> credential;
    std::optional<Commissioning> commissioning;  // `read` or `scan`, on the configured line
    std::optional<MonthReport> report;            // `report --month ...`: that and nothing else
};

// Parses the arguments into `line`. Returns an exit status when the run ends
// here: after --help or --version (0), or a refused command line (1), which
// CLI11 has then printed.
std::optional<int> parse_command_line(int argc, char** argv, CommandLine& line);
