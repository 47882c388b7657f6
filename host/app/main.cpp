// qmxhost: loads a device plug-in the way the controller does and runs it
// against a real Modbus RTU line or Modbus TCP server, or against the
// simulated meter.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <iostream>

#include "host/app/bench_run.h"
#include "host/app/command_line.h"
#include "host/core/exit_status.h"
#include "host/history/history_reader.h"
#include "host/app/credentials.h"
#include "host/line/libmodbus_context.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

void request_stop(int) {
    g_stop = 1;
    LibmodbusContext::InterruptFromSignal();
}

// Without SA_RESTART, so that a sleep or a write the signal lands in ends.
void on_stop_signals() {
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaction(signal, &action, nullptr);
    // Past a file-size limit (a unit's LimitFSIZE=) the history's write fails
    // as on a full disk, instead of the signal ending the run.
    std::signal(SIGXFSZ, SIG_IGN);
}

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

}  // namespace

int main(int argc, char** argv) {
    CommandLine command_line;
    if (const auto status = parse_command_line(argc, argv, command_line)) return *status;
    try {
        if (const auto& wanted = command_line.history_export) {
            export_history(wanted->file, wanted->query, wanted->format, std::cout);
            return exit_status::kSuccess;
        }
        if (const auto& wanted = command_line.credential) {
            std::cout << credential_line(*wanted) << std::endl;
            return exit_status::kSuccess;
        }
        SettingsBuilder builder;
        builder.ReadFile(command_line.config_path, read_settings_text(command_line.config_path));
        builder.ReadCommandLine(command_line.values);
        const HostSettings settings = builder.Finish();
        RunEnvironment environment{sibling("qv5810-sim"), "", QV5810_VERSION, nullptr, &std::cerr};
        if (const auto& wanted = command_line.commissioning) {
            return wanted->read ? read_registers(settings, environment, wanted->line, *wanted->read, std::cout)
                                : scan_line(settings, environment, wanted->line, *wanted->scan, std::cout);
        }
        environment.out = keep_stdout_for_us(settings.output.verbosity == Verbosity::verbose);
        if (environment.out == nullptr) throw std::runtime_error("cannot set up the output");
        on_stop_signals();
        const int status = run_bench_host(settings, environment, g_stop);
        std::fclose(environment.out);
        return status;
    } catch (const std::exception& e) {
        std::cerr << "qmxhost: " << e.what() << std::endl;
        return exit_status::kUsage;
    }
}
