#include "ExecutableHeader.h"

namespace {

uint32_t ReadLE(const std::vector<uint8_t>& bytes, size_t offset, int size) {
    uint32_t value = 0;
    for (int i = size - 1; i >= 0; i--) value = (value << 8) | bytes[offset + i];
    return value;
}

// The machine of this build, as the two formats name it.
#if defined(__x86_64__) || defined(_M_X64)
const char* const kMachineName = "x86-64";
const uint32_t kElfMachine = 62;    // EM_X86_64
const uint32_t kElfClass = 2;       // 64-bit
const uint32_t kPeMachine = 0x8664; // IMAGE_FILE_MACHINE_AMD64
#elif defined(__i386__) || defined(_M_IX86)
const char* const kMachineName = "x86";
const uint32_t kElfMachine = 3;    // EM_386
const uint32_t kElfClass = 1;      // 32-bit
const uint32_t kPeMachine = 0x14c; // IMAGE_FILE_MACHINE_I386
#else
#error "the installer's self-update knows no executable format for this processor"
#endif

// An ELF file of this machine's class, little-endian, that is an executable or a
// position-independent executable (ET_EXEC, ET_DYN).
[[maybe_unused]] bool IsElfExecutable(const std::vector<uint8_t>& bytes) {
    if (bytes.size() < 64 || bytes[0] != 0x7f || bytes[1] != 'E' || bytes[2] != 'L' || bytes[3] != 'F')
        return false;
    uint32_t type = ReadLE(bytes, 16, 2);
    return bytes[4] == kElfClass && bytes[5] == 1 && (type == 2 || type == 3) &&
           ReadLE(bytes, 18, 2) == kElfMachine;
}

// An MS-DOS stub ("MZ") pointing at a PE header of this machine that marks an executable image.
[[maybe_unused]] bool IsPeExecutable(const std::vector<uint8_t>& bytes) {
    if (bytes.size() < 64 || bytes[0] != 'M' || bytes[1] != 'Z') return false;
    uint32_t pe = ReadLE(bytes, 0x3C, 4);
    if (pe > bytes.size() || bytes.size() - pe < 24) return false;
    bool signature = bytes[pe] == 'P' && bytes[pe + 1] == 'E' && bytes[pe + 2] == 0 && bytes[pe + 3] == 0;
    const uint32_t kExecutableImage = 0x0002;
    return signature && ReadLE(bytes, pe + 4, 2) == kPeMachine &&
           (ReadLE(bytes, pe + 22, 2) & kExecutableImage);
}

} // namespace

std::string WhyNotExecutableForThisPlatform(const std::vector<uint8_t>& bytes) {
#ifdef _WIN32
    if (IsPeExecutable(bytes)) return "";
    return std::string("it is no Windows executable for ") + kMachineName;
#else
    if (IsElfExecutable(bytes)) return "";
    return std::string("it is no ELF executable for ") + kMachineName;
#endif
}
