// The unattended run: drives the wizard by itself and ends the process with an exit code
// (0 success, 2 a warning that needs a decision, 3 an error).
#pragma once

// Never returns.
[[noreturn]] void RunUnattended(int argc, char** argv);
