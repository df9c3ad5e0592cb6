# Turns a PEM certificate bundle into a C++ source defining the program's built-in bundle.
# Run as: cmake -DINPUT=<pem file> -DOUTPUT=<cpp file> -P EmbedCertificates.cmake
# The text becomes a byte array (no long string literals, which some compilers limit).
if(NOT EXISTS "${INPUT}")
  message(FATAL_ERROR "Certificate bundle ${INPUT} not found (Debian package ca-certificates)")
endif()
file(READ "${INPUT}" pem)
string(FIND "${pem}" "-----BEGIN CERTIFICATE-----" first)
if(first LESS 0)
  message(FATAL_ERROR "${INPUT} holds no certificate")
endif()
file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hexLength)
math(EXPR size "${hexLength} / 2")
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){16})" "\\1\n" bytes "${bytes}")
file(WRITE "${OUTPUT}.tmp"
"// Generated from ${INPUT} by cmake/EmbedCertificates.cmake; do not edit.
#include <stddef.h>

namespace ZipSync {

extern const char kBuiltinCertificateBundle[];
extern const size_t kBuiltinCertificateBundleSize;

const char kBuiltinCertificateBundle[] = {
${bytes}0x00};
const size_t kBuiltinCertificateBundleSize = ${size};

} // namespace ZipSync
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
