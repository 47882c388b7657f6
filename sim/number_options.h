// The simulator's command-line options that hold numbers, parsed by
// parse_whole and parse_real rather than by CLI11's own conversion, which
// takes 010 for octal and lets nan through a range check.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <string>
#include <vector>

#include "host/common/number_text.h"

inline CLI::Option* add_whole_option(CLI::App& app, const std::string& name, std::function<void(long long)> set,
                                     long long low, long long high, const std::string& help) {
    // Each occurrence is handed on in order: a repeatable option collects
    // them, a single one keeps the last.
    return app
        .add_option_function<std::vector<std::string>>(
            name,
            [name, set, low, high](const std::vector<std::string>& texts) {
                for (const std::string& text : texts) {
                    try {
                        set(parse_whole(text, low, high));
                    } catch (const std::invalid_argument& e) {
                        throw CLI::ValidationError(name, e.what());
                    }
                }
            },
            help)
        ->type_name("N")
        ->allow_extra_args(false);
}

template <typename Target>
CLI::Option* add_whole_option(CLI::App& app, const std::string& name, Target& target, long long low,
                              long long high, const std::string& help) {
    return add_whole_option(
        app, name, [&target](long long value) { target = static_cast<int>(value); }, low, high, help);
}

inline CLI::Option* add_real_option(CLI::App& app, const std::string& name, double& target, double low, double high,
                                    const std::string& help) {
    return app
        .add_option_function<std::vector<std::string>>(
            name,
            [name, &target, low, high](const std::vector<std::string>& texts) {
                for (const std::string& text : texts) {
                    try {
                        target = parse_real(text, low, high);
                    } catch (const std::invalid_argument& e) {
                        throw CLI::ValidationError(name, e.what());
                    }
                }
            },
            help)
        ->type_name("X")
        ->allow_extra_args(false);
}
