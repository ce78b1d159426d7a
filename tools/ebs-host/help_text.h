// The help of ebs-host and of each of its commands, in ebs-host's own words and made from the
// command's definition, so that it lists exactly what the parser takes: the line that says what
// the command does, its synopsis, then its commands, arguments and options, each option with its
// named placeholder (`--plugin PATH`, `-o, --output FILE`). The manual page and the tests read the
// sections by their headings "Commands:", "Arguments:" and "Options:". Pure; thread-safe.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

// `synopsis`: the usage line(s) after "Usage: ", one per line.
std::string HelpText(const CLI::App& command, const std::string& synopsis);

// How an option is written with its placeholder: "--sid SID", "-o, --output FILE", "--json";
// an argument by its placeholder alone ("ID"), also when it may be given as an option too.
std::string OptionUsage(const CLI::Option& option);
