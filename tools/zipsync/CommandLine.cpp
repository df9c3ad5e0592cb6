#include "CommandLine.h"

#include <errno.h>
#include <stdlib.h>

namespace ZipSyncCli {

const std::vector<OptionSpec>& CommonOptions() {
    static const std::vector<OptionSpec> options = {
        {'q', "quiet", nullptr, false, "print only results, warnings and errors (no progress)"},
        {'v', "verbose", nullptr, false, "print debug messages too"},
        {'h', "help", nullptr, false, "show this help and exit"},
    };
    return options;
}

std::string ParsedArgs::Get(const std::string& name, const std::string& fallback) const {
    auto it = options.find(name);
    return it == options.end() ? fallback : it->second.back();
}

std::vector<std::string> ParsedArgs::GetAll(const std::string& name) const {
    auto it = options.find(name);
    return it == options.end() ? std::vector<std::string>() : it->second;
}

int ParsedArgs::GetInt(const std::string& name, int fallback, int minimum) const {
    if (!Has(name)) return fallback;
    std::string text = Get(name);
    char* end = nullptr;
    errno = 0;
    long value = strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != 0 || errno != 0 || value < minimum || value > 1000000)
        throw UsageError("option --" + name + " needs a whole number of at least " + std::to_string(minimum) +
                         ", not '" + text + "'");
    return (int)value;
}

static const OptionSpec* FindOption(const Command& command, const std::string& longName, char shortName) {
    for (const std::vector<OptionSpec>* list : {&command.options, &CommonOptions()}) {
        for (const OptionSpec& option : *list) {
            if (!longName.empty() && longName == option.longName) return &option;
            if (shortName && shortName == option.shortName) return &option;
        }
    }
    return nullptr;
}

static void AddValue(ParsedArgs& parsed, const OptionSpec& option, const std::string& value) {
    std::vector<std::string>& values = parsed.options[option.longName];
    if (!values.empty() && !option.repeatable && option.valueName)
        throw UsageError(std::string("option --") + option.longName + " given twice");
    values.push_back(value);
}

ParsedArgs ParseCommandArgs(const Command& command, const std::vector<std::string>& args) {
    ParsedArgs parsed;
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& word = args[i];
        if (optionsEnded || word.size() < 2 || word[0] != '-') {
            parsed.positional.push_back(word);
            continue;
        }
        if (word == "--") {
            optionsEnded = true;
            continue;
        }
        const OptionSpec* option = nullptr;
        std::string inlineValue;
        bool hasInline = false;
        if (word[1] == '-') {
            std::string name = word.substr(2);
            size_t eq = name.find('=');
            if (eq != std::string::npos) {
                inlineValue = name.substr(eq + 1);
                hasInline = true;
                name = name.substr(0, eq);
            }
            option = FindOption(command, name, 0);
        } else {
            option = FindOption(command, "", word[1]);
            if (word.size() > 2) {
                inlineValue = word.substr(2);
                hasInline = true;
            }
        }
        if (!option) throw UsageError("unknown option '" + word + "'");
        if (!option->valueName) {
            if (hasInline) throw UsageError("option '" + word + "' takes no value");
            AddValue(parsed, *option, "");
            continue;
        }
        if (!hasInline) {
            if (i + 1 >= args.size()) throw UsageError("option '" + word + "' needs a value");
            inlineValue = args[++i];
        }
        AddValue(parsed, *option, inlineValue);
    }
    if (parsed.Has("help")) return parsed;
    int count = (int)parsed.positional.size();
    if (count < command.minPositional) throw UsageError("missing arguments");
    if (command.maxPositional >= 0 && count > command.maxPositional)
        throw UsageError("too many arguments ('" + parsed.positional[command.maxPositional] + "')");
    return parsed;
}

static std::string OptionLine(const OptionSpec& option) {
    std::string left = "  ";
    left += option.shortName ? std::string("-") + option.shortName + ", " : std::string("    ");
    left += std::string("--") + option.longName;
    if (option.valueName) left += std::string(" ") + option.valueName;
    if (left.size() < 28)
        left.resize(28, ' ');
    else
        left += "  ";
    return left + option.help + "\n";
}

std::string CommandHelp(const Command& command) {
    std::string text =
        std::string("Usage: ") + command.usage + "\n\n" + command.description + "\n\nOptions:\n";
    for (const OptionSpec& option : command.options) text += OptionLine(option);
    for (const OptionSpec& option : CommonOptions()) text += OptionLine(option);
    return text;
}

} // namespace ZipSyncCli
