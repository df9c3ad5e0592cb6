// Entry point of the zipsync tool: global options, choice of the subcommand, exit statuses.
//
// Exit status 0 on success, 1 on failure (the engine's error has already been written by the
// console logger), 2 on a usage mistake.
#include "CommandLine.h"
#include "Commands.h"
#include "Console.h"
#include "ToolPlatform.h"
#include "base/Logging.h"
#include "base/Platform.h"

#include <stdio.h>
#include <string>
#include <vector>

using namespace ZipSyncCli;

static const char* const kGeneralHelp =
    "Usage: zipsync [-q|-v] COMMAND [OPTIONS] ARGS...\n"
    "\n"
    "Publishes game versions as zip archives described by manifests, and brings a directory of\n"
    "archives to a published version.\n"
    "\n"
    "Commands:\n";

static std::string GeneralHelp() {
    std::string text = kGeneralHelp;
    for (const Command& command : AllCommands()) {
        std::string line = std::string("  ") + command.name;
        line.resize(14, ' ');
        text += line + command.summary + "\n";
    }
    text += "\nGlobal options (also accepted after COMMAND):\n"
            "  -q, --quiet     print only results, warnings and errors (no progress)\n"
            "  -v, --verbose   print debug messages too\n"
            "  -h, --help      show this help; 'zipsync COMMAND --help' shows a command's help\n"
            "\nExit status: 0 success, 1 failure, 2 wrong usage.\n";
    return text;
}

static int Run(Console& console, const std::vector<std::string>& args, std::string& commandName) {
    std::vector<std::string> globals;
    size_t pos = 0;
    while (pos < args.size() && args[pos].size() > 1 && args[pos][0] == '-') globals.push_back(args[pos++]);
    bool help = false;
    for (const std::string& option : globals) {
        if (option == "-h" || option == "--help")
            help = true;
        else if (option != "-q" && option != "--quiet" && option != "-v" && option != "--verbose")
            throw UsageError("unknown option '" + option + "'");
    }
    if (pos == args.size()) {
        if (help) {
            fputs(GeneralHelp().c_str(), stdout);
            return 0;
        }
        throw UsageError("no command given");
    }
    commandName = args[pos];
    const std::vector<Command> commands = AllCommands();
    const Command* command = nullptr;
    for (const Command& candidate : commands)
        if (commandName == candidate.name) command = &candidate;
    if (!command) {
        std::string unknown = commandName;
        commandName.clear();
        throw UsageError("unknown command '" + unknown + "'");
    }

    std::vector<std::string> rest = globals;
    rest.insert(rest.end(), args.begin() + pos + 1, args.end());
    ParsedArgs parsed = ParseCommandArgs(*command, rest);
    if (parsed.Has("help")) {
        fputs(CommandHelp(*command).c_str(), stdout);
        return 0;
    }
    if (parsed.Has("quiet") && parsed.Has("verbose")) throw UsageError("-q and -v exclude each other");
    if (parsed.Has("quiet")) console.SetVerbosity(Verbosity::Quiet);
    if (parsed.Has("verbose")) console.SetVerbosity(Verbosity::Verbose);
    int status = command->run(parsed, console);
    console.EndProgress();
    return status;
}

int main(int argc, char** argv) {
    // The console outlives every use of g_logger: it is never destroyed.
    Console* console = new Console();
    delete ZipSync::g_logger;
    ZipSync::g_logger = console;

    PrepareConsole();
    std::vector<std::string> args = ZipSync::CommandLineArguments(argc, argv);
    if (!args.empty()) args.erase(args.begin()); // the program itself
    std::string commandName;
    try {
        return Run(*console, args, commandName);
    } catch (const UsageError& e) {
        console->EndProgress();
        std::string hint = commandName.empty() ? "zipsync --help" : "zipsync " + commandName + " --help";
        fprintf(stderr, "zipsync: %s\nTry '%s'.\n", e.what(), hint.c_str());
        return 2;
    } catch (const ZipSync::ErrorException&) {
        // The logger wrote the message when the error was raised.
        console->EndProgress();
        return 1;
    } catch (const std::exception& e) {
        console->EndProgress();
        console->Message(ZipSync::lcNone, ZipSync::sevError, e.what());
        return 1;
    }
}
