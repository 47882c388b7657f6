// qmxhost: loads a device plug-in the way the controller does and runs it
// against a real Modbus RTU line, or against the simulated meter.
#include <CLI/CLI.hpp>

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>

#include "host/qmxhost/bench_host.h"
#include "host/qmxhost/history_db.h"
#include "host/qmxhost/plugin_library.h"
#include "host/qmxhost/sim_process.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
void request_stop(int) { g_stop = 1; }

// "ADDR=V[,V...]" as the address followed by the values.
std::vector<std::uint16_t> parse_write(const std::string& text) {
    const auto equals = text.find('=');
    if (equals == std::string::npos) throw CLI::ValidationError("--write", "expected ADDR=V[,V...]");
    std::vector<std::uint16_t> words;
    auto number = [&](const std::string& item) {
        std::size_t used = 0;
        unsigned long value = 0;
        try {
            value = std::stoul(item, &used, 0);
        } catch (const std::logic_error&) {
            used = 0;  // not a number at all
        }
        if (item.empty() || used != item.size() || value > 0xFFFF) {
            throw CLI::ValidationError("--write", "bad number '" + item + "'");
        }
        words.push_back(static_cast<std::uint16_t>(value));
    };
    number(text.substr(0, equals));
    std::stringstream values(text.substr(equals + 1));
    for (std::string item; std::getline(values, item, ',');) number(item);
    if (words.size() < 2 || words.size() > 124) throw CLI::ValidationError("--write", "1 to 123 values");
    return words;
}

// The bench's own binaries sit side by side.
std::string sibling(const std::string& name) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return name;
    std::string path(self, static_cast<std::size_t>(n));
    return path.substr(0, path.rfind('/') + 1) + name;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Bench host: runs a controller device plug-in against a Modbus RTU line"};
    std::string plugin = QV5810_DEFAULT_PLUGIN;
    std::string config_path = QV5810_DEFAULT_CONFIG;
    std::optional<std::string> port;
    std::optional<int> baud, slave;
    std::optional<char> parity;
    std::optional<int> timeout_ms;
    std::string history_path, write_text;
    std::vector<std::string> sim_args;
    bool json = false, emulate_line = false;
    HostOptions options;
    app.add_option("--plugin", plugin, "device plug-in to load")->capture_default_str();
    app.add_option("--config", config_path, "JSON configuration: line and meters")->capture_default_str();
    app.add_option("--port", port, "serial device (a pseudo-terminal too); default: start the simulated meter");
    app.add_option("--baud", baud, "line speed, overriding the configuration");
    app.add_option("--parity", parity, "N, E or O, overriding the configuration")->check(CLI::IsMember({'N', 'E', 'O'}));
    app.add_option("--slave", slave, "slave address of the first meter, overriding the configuration")
        ->check(CLI::Range(1, 247));
    app.add_option("--timeout-ms", timeout_ms, "response timeout")->check(CLI::Range(1, 60000));
    app.add_option("--interval", options.interval_seconds, "seconds from one poll cycle to the next")
        ->check(CLI::Range(0.0, 3600.0))->capture_default_str();
    app.add_option("--cycles", options.cycles, "poll cycles to run; 0: until interrupted")
        ->check(CLI::NonNegativeNumber)->capture_default_str();
    app.add_option("--history", history_path, "SQLite file for the device history; reloaded on start");
    app.add_flag("--snapshot", options.snapshot, "show the JSON snapshot text after every cycle");
    app.add_option("--write", write_text, "after the first cycle write ADDR=V (one register) or ADDR=V,V,... ");
    app.add_flag("--json", json, "one JSON object per line for every host event, nothing else on stdout");
    app.add_flag("--emulate-line", emulate_line, "simulated meter: pace bytes at the line speed");
    app.add_option("--sim-arg", sim_args, "extra option for the simulated meter (repeatable)")->allow_extra_args(false);
    CLI11_PARSE(app, argc, argv);

    std::FILE* json_out = nullptr;
    if (json) {
        // JSON lines keep standard output to themselves; the plug-in's own
        // diagnostic lines go to standard error, unchanged.
        json_out = fdopen(dup(STDOUT_FILENO), "w");
        std::fflush(stdout);
        dup2(STDERR_FILENO, STDOUT_FILENO);
    }
    try {
        if (!write_text.empty()) options.write = parse_write(write_text);
        HostConfig config = load_host_config(config_path);
        if (port) config.line.port = *port;
        if (baud) config.line.baud = *baud;
        if (parity) config.line.parity = *parity;
        if (timeout_ms) config.line.response_timeout_ms = *timeout_ms;
        if (slave) {
            config.devices.front().slave = *slave;
            config.devices.front().setting["modbus"]["slave"] = *slave;
        }

        std::optional<SimProcess> sim;
        if (config.line.port.empty()) {
            std::vector<std::string> args{"--baud", std::to_string(config.line.baud), "--parity",
                                          std::string(1, config.line.parity)};
            for (const DeviceConfig& device : config.devices) {
                args.insert(args.end(), {"--slave", std::to_string(device.slave)});
            }
            if (emulate_line) args.emplace_back("--byte-timing");
            args.insert(args.end(), sim_args.begin(), sim_args.end());
            sim.emplace(sibling("qv5810-sim"), args);
            config.line.port = sim->port();
        }

        std::optional<HistoryDb> history;
        if (!history_path.empty()) history.emplace(history_path);
        EventReport report(json_out, history ? &*history : nullptr);
        report.Note("qmxhost: " + plugin + " on " + config.line.port + " at " + std::to_string(config.line.baud) +
                    " baud");

        const PluginLibrary library(plugin);
        std::vector<std::unique_ptr<SPModbus>> devices;
        for (std::size_t i = 0; i < config.devices.size(); ++i) devices.push_back(library.CreateDevice());
        RtuLine line(config.line);
        BenchHost host(config, options, std::move(devices), line, report);
        if (history) host.ReloadFrom(*history);

        std::signal(SIGINT, request_stop);
        std::signal(SIGTERM, request_stop);
        return host.Run(g_stop);
    } catch (const std::exception& e) {
        std::cerr << "qmxhost: " << e.what() << std::endl;
        return 1;
    }
}
