// Loggers for tests. Each installs itself as g_logger while it lives and puts the previous one
// back when it goes out of scope.
//
// RecordingLogger records every message instead of printing it, from any thread (the parallel
// analysis logs from its workers). SilentLogger drops every message; errors still raise.
#pragma once

#include "base/Logging.h"

#include <mutex>
#include <string>
#include <vector>

class RecordingLogger : public ZipSync::Logger {
public:
    struct Entry {
        ZipSync::LogCode code;
        ZipSync::LogSeverity severity;
        std::string text;
    };

    RecordingLogger() : _previous(ZipSync::g_logger) { ZipSync::g_logger = this; }
    ~RecordingLogger() override { ZipSync::g_logger = _previous; }
    RecordingLogger(const RecordingLogger&) = delete;
    RecordingLogger& operator=(const RecordingLogger&) = delete;

    void Message(ZipSync::LogCode code, ZipSync::LogSeverity severity, const char* message) override {
        std::lock_guard<std::mutex> lock(_mutex);
        entries.push_back({code, severity, message});
    }
    // Texts of the messages that start with prefix, in order.
    std::vector<std::string> WithPrefix(const std::string& prefix) const {
        std::vector<std::string> texts;
        for (const Entry& entry : entries)
            if (entry.text.compare(0, prefix.size(), prefix) == 0) texts.push_back(entry.text);
        return texts;
    }
    // Texts of the messages of one severity, in order.
    std::vector<std::string> Texts(ZipSync::LogSeverity severity) const {
        std::vector<std::string> texts;
        for (const Entry& entry : entries)
            if (entry.severity == severity) texts.push_back(entry.text);
        return texts;
    }

    std::vector<Entry> entries;

private:
    ZipSync::Logger* _previous;
    std::mutex _mutex;
};

class SilentLogger : public ZipSync::Logger {
public:
    SilentLogger() : _previous(ZipSync::g_logger) { ZipSync::g_logger = this; }
    ~SilentLogger() override { ZipSync::g_logger = _previous; }
    SilentLogger(const SilentLogger&) = delete;
    SilentLogger& operator=(const SilentLogger&) = delete;

    void Message(ZipSync::LogCode, ZipSync::LogSeverity, const char*) override {}

private:
    ZipSync::Logger* _previous;
};
