// What the fuzz targets share: a logger that keeps quiet, a scratch file for operations that
// read from disk, and the rule for which failures are expected.
//
// Every fuzz target defines LLVMFuzzerTestOneInput. Built with libFuzzer (scripts/fuzz.sh) it
// explores new inputs; built otherwise it is linked with ReplayMain.cpp, and the test suite
// replays the seed corpus and every saved crash through it. Expected failures (ErrorException,
// and the number conversions a manifest reports) are caught; anything else, a sanitizer report,
// or a broken property checked with FuzzCheck ends the process as a finding.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

// Installs the quiet logger once per process.
void SilenceLogging();

// A file of this process under $TMPDIR (or /tmp), rewritten on each call, removed at exit.
// name distinguishes several files of one target.
std::string WriteScratchFile(const std::string& name, const uint8_t* data, size_t size);
std::string ScratchPath(const std::string& name);

// Runs body and swallows the failures that the engine reports for bad input. Returns true when
// body finished without one.
template <typename Body> bool ExpectingInputErrors(Body body);

// Aborts with the message when condition is false: a property of the code under test broke.
#define FuzzCheck(condition) FuzzCheckFailed(condition, #condition, __FILE__, __LINE__)
void FuzzCheckFailed(bool ok, const char* condition, const char* file, int line);

#include "base/Logging.h"

#include <stdexcept>

template <typename Body> bool ExpectingInputErrors(Body body) {
    try {
        body();
        return true;
    } catch (const ZipSync::ErrorException&) {
    } catch (const std::invalid_argument&) {
    } catch (const std::out_of_range&) {
    }
    return false;
}
