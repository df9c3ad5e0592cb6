// The subcommands of the zipsync tool.
//
// Each Command*() returns the description of one subcommand (CommandLine.h) with the function
// that runs it. A run function returns the exit status: 0 on success, 1 when the command found
// a problem it reports itself (a failed verification); engine failures travel as exceptions to
// main, which turns them into status 1, and usage mistakes as UsageError (status 2).
#pragma once

#include "CommandLine.h"

#include <vector>

namespace ZipSyncCli {

// Archive files: normalize, and the checksummed-zip commands hash, pack and unpack.
Command CommandNormalize();
Command CommandHash();
Command CommandPack();
Command CommandUnpack();
// Manifests of a tree: analyze and verify.
Command CommandAnalyze();
Command CommandVerify();
// The cost of an update between two manifests.
Command CommandDiff();
// Bringing a directory to a target manifest.
Command CommandUpdate();

// Every subcommand, in the order "zipsync --help" lists them.
std::vector<Command> AllCommands();

} // namespace ZipSyncCli
