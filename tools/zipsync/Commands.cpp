#include "Commands.h"

namespace ZipSyncCli {

std::vector<Command> AllCommands() {
    return {CommandAnalyze(),   CommandVerify(), CommandDiff(), CommandUpdate(),
            CommandNormalize(), CommandHash(),   CommandPack(), CommandUnpack()};
}

} // namespace ZipSyncCli
