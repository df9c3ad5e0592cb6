// Command-line parsing of the zipsync tool: the subcommand table and the options of each.
//
// A subcommand is described by a Command record: its name, its usage and help text, the options
// it accepts and the number of positional arguments it takes, and the function that runs it.
// ParseCommandArgs turns the words after the subcommand name into ParsedArgs; every mistake of
// the caller raises UsageError, which main reports with exit status 2.
//
// Options are written "-o VALUE", "-oVALUE", "--output VALUE" or "--output=VALUE"; flags take no
// value; "--" ends the options. Options may stand before, between and after the positional
// arguments.
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace ZipSyncCli {

// A mistake in how the tool was called (exit status 2).
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct OptionSpec {
    // One letter (0 for none) and the long name without dashes; the long name is the key.
    char shortName;
    const char* longName;
    // Shown in help as the value's name; null for a flag.
    const char* valueName;
    bool repeatable;
    const char* help;
};

struct ParsedArgs {
    // Values of every option given, by long name; a flag has one empty value per occurrence.
    std::map<std::string, std::vector<std::string>> options;
    std::vector<std::string> positional;

    bool Has(const std::string& name) const { return options.count(name) > 0; }
    // The option's value, or fallback when it was not given.
    std::string Get(const std::string& name, const std::string& fallback = "") const;
    // Every value of a repeatable option, in command-line order.
    std::vector<std::string> GetAll(const std::string& name) const;
    // The option as a whole number of at least minimum (fallback when absent); anything else is
    // a usage error.
    int GetInt(const std::string& name, int fallback, int minimum) const;
};

class Console;

struct Command {
    const char* name;
    // One line for the command list of "zipsync --help".
    const char* summary;
    // "zipsync NAME ..." synopsis and the paragraph(s) below it.
    const char* usage;
    const char* description;
    std::vector<OptionSpec> options;
    int minPositional;
    int maxPositional; // -1: no limit
    int (*run)(const ParsedArgs& args, Console& console);
};

// The options every command accepts: -q, -v and -h.
const std::vector<OptionSpec>& CommonOptions();

// Parses args for command (options of the command and the common ones); checks the count of
// positional arguments. Raises UsageError.
ParsedArgs ParseCommandArgs(const Command& command, const std::vector<std::string>& args);

// The full help text of a command.
std::string CommandHelp(const Command& command);

} // namespace ZipSyncCli
