// A logger for tests: records every message instead of printing it, and puts the previous
// g_logger back when it goes out of scope.
#pragma once

#include "Logging.h"

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
        entries.push_back({code, severity, message});
    }
    // Texts of the messages that start with prefix, in order.
    std::vector<std::string> WithPrefix(const std::string& prefix) const {
        std::vector<std::string> texts;
        for (const Entry& entry : entries)
            if (entry.text.compare(0, prefix.size(), prefix) == 0) texts.push_back(entry.text);
        return texts;
    }

    std::vector<Entry> entries;

private:
    ZipSync::Logger* _previous;
};
