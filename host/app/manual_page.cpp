#include "host/app/manual_page.h"

#include "host/config/settings_table.h"
#include "host/core/exit_status.h"

namespace {

// Text as roff takes it: a backslash escaped, a minus a minus (not a
// hyphen), and no line that starts with a control character.
std::string roff(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\') {
            out += "\\e";
        } else if (c == '-') {
            out += "\\-";
        } else {
            out += c;
        }
    }
    if (!out.empty() && (out[0] == '.' || out[0] == '\'')) out.insert(0, "\\&");
    return out;
}

const char* scope_name(SettingScope scope) {
    switch (scope) {
        case SettingScope::line: return "A line's (in the file under \\fBline\\fR, or in each of \\fBlines\\fR): ";
        case SettingScope::device: return "A meter's (in each of \\fBdevices\\fR): ";
        default: return "";
    }
}

}  // namespace

std::string manual_page(const std::string& version) {
    std::string page;
    page += ".TH QMXHOST 1 \"\" \"qv5810 " + roff(version) + "\" \"User Commands\"\n";
    page += ".SH NAME\nqmxhost \\- poll QV5810 power meters through the qv5810 controller plug\\-in\n";
    page += ".SH SYNOPSIS\n.B qmxhost\n[\\fIOPTIONS\\fR] [\\fB\\-\\-config\\fR \\fIFILE\\fR]\n.br\n"
            ".B qmxhost read\\fR|\\fBscan\\fR|\\fBhistory\\fR|\\fBpasswd\\fR|\\fBtoken\\fR|\\fBmanual\\fR ...\n";
    page += ".SH DESCRIPTION\n"
            "qmxhost loads the controller's qv5810 plug\\-in, polls the meters of one or more Modbus RTU lines or\n"
            "Modbus TCP gateways at a fixed rate, and hands each cycle to its outlets: the console or JSON lines, a\n"
            "history in SQLite (forwarded to a central PostgreSQL when asked), a live page and HTTP API, Prometheus,\n"
            "an MQTT broker with Home Assistant discovery, a Modbus TCP server and web hooks. Without a port the\n"
            "meters are simulated. \\fBqmxhost \\-\\-help\\fR lists the subcommands and options; the README in\n"
            "/usr/share/doc/qv5810\\-bench says more.\n";
    page += ".SH SETTINGS\n"
            "Every setting may be given in the configuration file (\\fB\\-\\-config\\fR, JSON) under its key, or on\n"
            "the command line; the command line wins. A value outside its range, or two settings that cannot go\n"
            "together, end the run with status 1 before anything is opened.\n";
    for (const Setting& row : settings_table()) {
        page += ".TP\n";
        std::string head;
        if (row.option != nullptr) {
            std::string names = row.option;
            for (std::size_t at = 0; (at = names.find(',', at)) != std::string::npos; at += 2) names.replace(at, 1, ", ");
            head += "\\fB" + roff(names) + "\\fR";
            if (row.kind != SettingKind::flag) head += std::string(" \\fI") + value_name(row.kind) + "\\fR";
        }
        if (row.key != nullptr) {
            head += std::string(head.empty() ? "" : "  ") + "(file: \\fB" + roff(row.key) + "\\fR)";
        }
        page += head + "\n";
        std::string body = scope_name(row.scope) + roff(row.help);
        const std::string fallback = default_text(row);
        if (!fallback.empty()) body += " (default " + roff(fallback) + ")";
        page += body + ".\n";
    }
    page += ".SH EXIT STATUS\n";
    for (const exit_status::Meaning& meaning : exit_status::kMeanings) {
        page += ".TP\n" + std::to_string(meaning.status) + "\n" + roff(meaning.text) + ".\n";
    }
    page += ".SH FILES\n.TP\n/etc/qv5810/\\fINAME\\fR.json\n"
            "the configuration qmxhost@\\fINAME\\fR.service runs.\n"
            ".TP\n/var/lib/qv5810\nthe service's histories.\n";
    page += ".SH SEE ALSO\n.BR systemctl (1),\n.BR sqlite3 (1),\n"
            "/usr/share/doc/qv5810\\-bench/README.md, /usr/share/doc/qv5810\\-bench/install.md\n";
    return page;
}
