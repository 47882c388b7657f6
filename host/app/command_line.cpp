#include "host/app/command_line.h"

#include <modbus.h>

#include <CLI/CLI.hpp>

#include <cstdint>
#include <iostream>
#include <tuple>

#include "host/common/clock.h"
#include "host/common/number_text.h"
#include "host/config/endpoints.h"

#include "host/app/manual_page.h"
#include "host/core/exit_status.h"

namespace {

void add_row(CLI::App& app, const Setting& row, CommandLineValues& values) {
    const std::string fallback = default_text(row);
    const std::string help = std::string(row.help) + (fallback.empty() ? "" : " (default " + fallback + ")");
    if (row.kind == SettingKind::flag) {
        app.add_flag_function(
            row.option, [&values, &row](std::int64_t count) { values[&row] = {count > 0 ? "true" : "false"}; }, help);
        return;
    }
    if (row.kind == SettingKind::list) {
        app.add_option_function<std::vector<std::string>>(
               row.option, [&values, &row](const std::vector<std::string>& texts) { values[&row] = texts; }, help)
            ->type_name(value_name(row.kind))
            ->allow_extra_args(false);
        return;
    }
    // Given twice, the last one counts, as with most tools.
    app.add_option_function<std::string>(
           row.option, [&values, &row](const std::string& text) { values[&row] = {text}; }, help)
        ->type_name(value_name(row.kind))
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

// `qmxhost history export FILE [--alarms] [--device N] [--from T] [--to T]
// [--format F] [--resolution R]`, and `qmxhost history --csv FILE` as 1.0 spelt it.
struct HistoryOptions {
    std::string file, old_file, device, from, to, format = "csv", resolution = "raw";
    bool csv = false, alarms = false;
    CLI::App* command = nullptr;
    CLI::App* export_command = nullptr;
    CLI::App* forward_command = nullptr;
    std::string init;  // history forward --init URI

    HistoryExport Export() const {
        HistoryExport wanted;
        wanted.file = export_command->parsed() ? file : old_file;
        if (!export_command->parsed() && (!csv || old_file.empty())) {
            throw CLI::ValidationError("history", "say what to do: history export FILE [OPTIONS], history forward --init "
                                                  "URI, or history --csv FILE");
        }
        if (!device.empty()) {
            try {
                wanted.query.device = static_cast<std::uint32_t>(parse_whole(device, 0, 4294967295LL));
            } catch (const std::invalid_argument& e) {
                throw CLI::ValidationError("--device", e.what());
            }
        }
        for (const auto& [name, text, ms] : {std::tuple{"--from", from, &wanted.query.from_ms},
                                              std::tuple{"--to", to, &wanted.query.to_ms}}) {
            if (text.empty()) continue;
            const auto parsed = utc_ms_from_text(text);
            if (!parsed) throw CLI::ValidationError(name, "'" + text + "' is no UTC time like 2026-01-02T03:04:05Z");
            *ms = *parsed;
        }
        if (!to.empty() && to.find('.') == std::string::npos) wanted.query.to_ms += 999;  // the whole second
        if (alarms && resolution != "raw") {
            throw CLI::ValidationError("--resolution", "the alarms' rises and clears have no resolution; leave it out");
        }
        wanted.query.kind = alarms ? HistoryKind::alarms : HistoryKind::readings;
        wanted.query.resolution = *resolution_named(resolution);
        wanted.format = format == "jsonl" ? ExportFormat::jsonl : ExportFormat::csv;
        return wanted;
    }
};

void add_history_export(CLI::App& app, HistoryOptions& history) {
    history.command = app.add_subcommand("history", "read a history file written with --history");
    history.command->add_flag("--csv", history.csv, "every raw row as CSV (the spelling of 1.0; see export)");
    history.command->add_option("file", history.old_file, "with --csv: the history file");
    CLI::App* exporting = history.command->add_subcommand("export", "rows of a history as CSV or JSON lines");
    history.export_command = exporting;
    exporting->add_option("file", history.file, "the history file")->required();
    exporting->add_flag("--alarms", history.alarms, "every rise and clear of an alarm rule, not the readings");
    exporting->add_option("--device", history.device, "only this meter (its data id); default: every meter");
    exporting->add_option("--from", history.from, "from this UTC time on (2026-01-02T03:04:05Z)");
    exporting->add_option("--to", history.to, "up to this UTC time");
    exporting->add_option("--format", history.format, "csv or jsonl (default csv)")
        ->check(CLI::IsMember({"csv", "jsonl"}));
    exporting->add_option("--resolution", history.resolution, "raw, minute or hour (default raw)")
        ->check(CLI::IsMember({"raw", "minute", "hour"}));
    history.forward_command = history.command->add_subcommand("forward", "the central history in PostgreSQL");
    history.forward_command
        ->add_option("--init", history.init,
                     "make the central schema in the database at this URI, or bring it up to this version (its owner's "
                     "login; the password from a password file or PGPASSWORD)")
        ->required()
        ->check([](const std::string& uri) { return central_uri_problem(uri); });
}

// "FROM-TO" or one id, each a slave address.
SlaveScan parse_slave_range(const std::string& text) {
    const std::size_t dash = text.find('-');
    SlaveScan scan;
    const auto [low, high] = kSlaveAddresses;
    try {
        scan.from = static_cast<int>(parse_whole(text.substr(0, dash), low, high));
        scan.to = dash == std::string::npos ? scan.from : static_cast<int>(parse_whole(text.substr(dash + 1), low, high));
    } catch (const std::invalid_argument& e) {
        throw CLI::ValidationError("range", e.what());
    }
    if (scan.to < scan.from) throw CLI::ValidationError("range", text + " ends before it begins");
    return scan;
}

}  // namespace

std::optional<int> parse_command_line(int argc, char** argv, CommandLine& line) {
    CLI::App app{"Bench host: runs a controller device plug-in against a Modbus RTU line or Modbus TCP"};
    app.set_version_flag("--version", std::string("qmxhost ") + QV5810_VERSION);
    line.config_path = QV5810_DEFAULT_CONFIG;
    app.add_option("--config", line.config_path,
                   "JSON configuration: the line, the meters and any setting below by its key")
        ->capture_default_str();
    for (const Setting& row : settings_table()) {
        if (row.option != nullptr) add_row(app, row, line.values);
    }
    // What CLI11 can say of the command line alone, it says; the same rules
    // over the file and the command line together follow the merge.
    const auto option = [&app](const char* names) {
        return app.get_option(std::string(names).substr(0, std::string(names).find(',')));
    };
    for (const Setting& row : settings_table()) {
        if (row.option == nullptr) continue;
        if (row.excludes != nullptr) option(row.option)->excludes(option(row.excludes));
        if ((row.rules & kSerialOnly) != 0) option("--tcp")->excludes(option(row.option));
    }
    HistoryOptions history;
    add_history_export(app, history);
    std::string name;
    CLI::App* passwd = app.add_subcommand("passwd", "a credentials line for --http-users: NAME and a password read "
                                                    "from standard input");
    passwd->add_option("name", name, "the name to log in with")->required();
    CLI::App* token = app.add_subcommand("token", "a credentials line for --http-users: NAME and a new bearer token, "
                                                  "shown once on standard error");
    token->add_option("name", name, "whose token (a program, say)")->required();
    CLI::App* manual = app.add_subcommand("manual", "this program's manual page in roff: qmxhost manual | man -l -");
    // The line's options may follow the command: `qmxhost read --port /dev/ttyUSB0 --slave 3 1806 2`.
    RegisterRead read;
    CLI::App* reading = app.add_subcommand("read", "read holding registers of one meter and show them as decimal, "
                                                   "hex and the meter's quantity");
    reading->fallthrough();
    reading->add_option("--slave", read.slave, "the meter's slave address")
        ->required()
        ->check(CLI::Range(kSlaveAddresses.low, kSlaveAddresses.high));
    reading->add_option("address", read.address, "the first register, 0-based as the register map (mbpoll -r is 1-based)")
        ->required()->check(CLI::Range(0, 65535));
    reading->add_option("count", read.count, "how many registers (default 1)")->check(CLI::Range(1, MODBUS_MAX_READ_REGISTERS));
    const std::string every_slave = std::to_string(kSlaveAddresses.low) + "-" + std::to_string(kSlaveAddresses.high);
    std::string range = every_slave;
    CLI::App* scanning = app.add_subcommand("scan", "which slave ids on the line answer a read of the first block, "
                                                    "each asked once with a short timeout");
    scanning->fallthrough();
    scanning->add_option("range", range, "FROM-TO slave ids (default " + every_slave + ")");
    MonthReport report;
    std::string report_format = "csv";
    CLI::App* reporting = app.add_subcommand("report", "a month's energy imported and exported per meter, its peak "
                                                       "15-minute demand and when, from the history's counters");
    reporting->add_option("--month", report.month, "the site's month, 2026-03")->required();
    reporting->add_option("--format", report_format, "csv or jsonl (default csv)")->check(CLI::IsMember({"csv", "jsonl"}));
    reporting->add_option("--history", report.history, "the history file (default: the configuration's history)");
    std::size_t line_number = 1;
    for (CLI::App* command : {reading, scanning}) {
        command->add_option("--line", line_number, "which of the configuration's lines, from 1 (default 1)")
            ->check(CLI::Range(std::size_t{1}, kMostLines));
    }
    try {
        app.parse(argc, argv);
        if (manual->parsed()) {
            std::cout << manual_page(QV5810_VERSION);
            return exit_status::kSuccess;
        }
        if (reading->parsed() || scanning->parsed()) {
            Commissioning wanted;
            wanted.line = line_number - 1;
            if (reading->parsed()) {
                if (read.address + read.count > 65536) throw CLI::ValidationError("count", "reads past register 65535");
                wanted.read = read;
            } else {
                wanted.scan = parse_slave_range(range);
            }
            line.commissioning = wanted;
        }
        if (history.forward_command->parsed()) {
            line.central_init = history.init;
        } else if (app.got_subcommand("history")) {
            line.history_export = history.Export();
        }
        if (reporting->parsed()) {
            report.csv = report_format == "csv";
            line.report = report;
        }
        if (passwd->parsed() || token->parsed()) line.credential = CredentialWanted{token->parsed(), name};
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? exit_status::kSuccess : exit_status::kUsage;
    }
    return std::nullopt;
}
