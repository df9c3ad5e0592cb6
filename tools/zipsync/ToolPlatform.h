// What the zipsync tool needs from the operating system beyond the engine's platform file: the
// terminal (is standard error one, how wide is it, can it redraw a line in place) and a
// temporary file of the system's temporary directory.
//
// On Windows the console is switched to UTF-8 output and to the escape sequences the progress
// bar uses (a console that cannot do them counts as no terminal: plain progress lines), and
// standard output and error write "\n" line ends as on Linux.
#pragma once

#include <stdio.h>
#include <string>

namespace ZipSyncCli {

// Prepares the console of standard output and standard error once, at start.
void PrepareConsole();
// Whether the stream goes to a terminal that redraws a line in place ("\r" and "\x1b[K").
bool StreamIsTerminal(FILE* stream);
// Columns of the terminal of the stream, 0 when unknown.
int TerminalColumns(FILE* stream);

// Creates a new empty file of the temporary directory, named after the tag, that no one else has
// and returns its path; fails with "Failed to open file \"%s\"" (lcCantOpenFile).
std::string CreateTemporaryFile(const std::string& tag);

} // namespace ZipSyncCli
