// qmxhost: loads a device plug-in the way the controller does and runs it
// against a real Modbus RTU line or Modbus TCP server, or against the
// simulated meter.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "host/app/bench_run.h"
#include "host/app/command_line.h"
#include "host/core/exit_status.h"
#include "host/forward/forwarder.h"
#include "host/energy/energy.h"
#include "host/history/history_reader.h"
#include "host/app/credentials.h"
#include "host/app/service_run.h"
#include "host/app/stop_on_signals.h"

namespace {

// The bench's own programs sit side by side.
std::string sibling(const std::string& name) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return name;
    const std::string path(self, static_cast<std::size_t>(n));
    return path.substr(0, path.rfind('/') + 1) + name;
}

// Our own output keeps standard output; the plug-in's diagnostic lines
// (written to std::cout) go to standard error with --verbose, else nowhere.
std::FILE* keep_stdout_for_us(bool plugin_lines_shown) {
    std::fflush(stdout);
    std::FILE* out = fdopen(dup(STDOUT_FILENO), "w");
    const int plugin_lines = plugin_lines_shown ? dup(STDERR_FILENO) : open("/dev/null", O_WRONLY);
    if (out == nullptr || plugin_lines < 0) return nullptr;
    dup2(plugin_lines, STDOUT_FILENO);
    close(plugin_lines);
    return out;
}

// The site's zone for a command that reads a history file alone: the
// command line's --site-timezone, else the system's.
SiteZone command_line_zone(const CommandLine& command_line) {
    SettingsBuilder builder;
    builder.ReadCommandLine(command_line.values);
    return SiteZone(builder.Finish().site_timezone);
}

}  // namespace

int main(int argc, char** argv) {
    CommandLine command_line;
    if (const auto status = parse_command_line(argc, argv, command_line)) return *status;
    try {
        if (auto wanted = command_line.history_export) {
            wanted->query.zone = command_line_zone(command_line);
            export_history(wanted->file, wanted->query, wanted->format, std::cout);
            return exit_status::kSuccess;
        }
        if (const auto& wanted = command_line.report) {
            // The zone and, unless given, the history from the configuration and the command line.
            SettingsBuilder builder;
            if (wanted->history.empty()) {
                builder.ReadFile(command_line.config_path, read_settings_text(command_line.config_path));
            }
            builder.ReadCommandLine(command_line.values);
            const HostSettings settings = builder.Finish();
            const std::string history = wanted->history.empty() ? settings.history.file : wanted->history;
            if (history.empty()) throw std::runtime_error("no history: give --history FILE, or history in the configuration");
            write_month_report(history, SiteZone(settings.site_timezone), wanted->month, wanted->csv, std::cout);
            return exit_status::kSuccess;
        }
        if (!command_line.central_init.empty()) {
            std::cout << init_central_history(command_line.central_init) << std::endl;
            return exit_status::kSuccess;
        }
        if (const auto& wanted = command_line.credential) {
            std::cout << credential_line(*wanted) << std::endl;
            return exit_status::kSuccess;
        }
        // The file, then the command line on top: at start and at each reload.
        const auto read_settings = [&command_line] {
            SettingsBuilder builder;
            builder.ReadFile(command_line.config_path, read_settings_text(command_line.config_path));
            builder.ReadCommandLine(command_line.values);
            return builder.Finish();
        };
        StopSignal stop;
        ServiceRun service(read_settings, command_line.config_path, stop, std::cerr);
        // Before any thread: each one inherits the signals blocked. A
        // commissioning command has nothing to reload: SIGHUP ends it.
        const StopOnSignals signals(stop, command_line.commissioning ? std::function<void()>()
                                                                     : [&service] { service.Reload(); });
        HostSettings settings = read_settings();
        RunEnvironment environment{sibling("qv5810-sim"), "", QV5810_VERSION, nullptr, &std::cerr, command_line.config_path};
        if (const auto& wanted = command_line.commissioning) {
            return wanted->read ? read_registers(settings, environment, wanted->line, *wanted->read, std::cout, stop)
                                : scan_line(settings, environment, wanted->line, *wanted->scan, std::cout, stop);
        }
        environment.out = keep_stdout_for_us(settings.output.verbosity == Verbosity::verbose);
        if (environment.out == nullptr) throw std::runtime_error("cannot set up the output");
        const int status = service.Run(std::move(settings), environment);
        std::fclose(environment.out);
        return status;
    } catch (const std::exception& e) {
        std::cerr << "qmxhost: " << e.what() << std::endl;
        return exit_status::kUsage;
    }
}
