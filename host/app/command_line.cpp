#include "host/app/command_line.h"

#include <CLI/CLI.hpp>

#include <cstdint>

#include "host/core/exit_status.h"

namespace {

const char* option_type_name(SettingKind kind) {
    switch (kind) {
    case SettingKind::whole: return "N";
    case SettingKind::real: return "X";
    case SettingKind::list: return "OPTION";
    default: return "TEXT";
    }
}

void add_row(CLI::App& app, const Setting& row, CommandLineValues& values) {
    const std::string help = std::string(row.help) + (*row.fallback != '\0' ? std::string(" (default ") + row.fallback + ")" : "");
    if (row.kind == SettingKind::flag) {
        app.add_flag_function(
            row.option, [&values, &row](std::int64_t count) { values[&row] = {count > 0 ? "true" : "false"}; }, help);
        return;
    }
    if (row.kind == SettingKind::list) {
        app.add_option_function<std::vector<std::string>>(
               row.option, [&values, &row](const std::vector<std::string>& texts) { values[&row] = texts; }, help)
            ->type_name(option_type_name(row.kind))
            ->allow_extra_args(false);
        return;
    }
    // Given twice, the last one counts, as with most tools.
    app.add_option_function<std::string>(
           row.option, [&values, &row](const std::string& text) { values[&row] = {text}; }, help)
        ->type_name(option_type_name(row.kind))
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
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
    bool csv = false;
    CLI::App* history = app.add_subcommand("history", "export a history file's decoded readings");
    history->add_option("file", line.history_to_export, "history file written with --history")->required();
    history->add_flag("--csv", csv, "as CSV (the only format)")->required();
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);
        return code == 0 ? exit_status::kSuccess : exit_status::kUsage;
    }
    return std::nullopt;
}
