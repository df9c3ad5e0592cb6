// Whether a file is a program this build of the installer could run: the header check that the
// self-update makes before a published file may replace the installer.
//
// The installer is built for one platform (Linux on x86-64, or Windows on x86 or x86-64); only an
// executable of that very platform (an ELF executable or shared object for its machine, or a PE
// image for its machine) can take its place. Anything else (a text file, a build for another
// system or processor) is refused with the reason.
#pragma once

#include <stdint.h>
#include <string>
#include <vector>

// Empty when bytes begin like an executable of this build's platform, else why not:
// "it is no ELF executable for x86-64" or "it is no Windows executable for x86-64" and the like.
std::string WhyNotExecutableForThisPlatform(const std::vector<uint8_t>& bytes);
