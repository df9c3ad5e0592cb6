// The root certificates that HTTPS downloads trust.
//
// The program carries a PEM bundle of public root certificates, built in from the build
// machine's CA store, so that it needs no certificate store of the system it runs on. A
// deployment with its own certificate authority (or a test with a throw-away one) adds its
// roots through the environment variable named by EXTRA_CA_FILE_VARIABLE: when set, it names a
// PEM file whose certificates are trusted in addition. Every place that configures a
// Downloader for the program takes its bundle from AssembleCertificateBundle.
#pragma once

#include <string>

namespace ZipSync {

// "QMH_EXTRA_CA_FILE"
extern const char* const EXTRA_CA_FILE_VARIABLE;

// The PEM text built into the program.
std::string BuiltinCertificateBundle();

// Every "-----BEGIN CERTIFICATE-----" ... "-----END CERTIFICATE-----" block of a PEM text, each
// followed by a newline; anything else (comments, keys) is left out.
std::string ExtractPemCertificates(const std::string& pemText);

// The built-in bundle followed by the certificates of the file named by EXTRA_CA_FILE_VARIABLE,
// when that variable is set and not empty. An unreadable file fails with "Failed to open file
// \"%s\"" (lcCantOpenFile), and a file without any certificate with "No certificate found in
// file \"%s\"", so that a misconfigured deployment does not silently lose its trust anchor.
std::string AssembleCertificateBundle();

} // namespace ZipSync
