#include "ZipFixture.h"

#include "TempDir.h"

#include <gtest/gtest.h>
#include <sstream>
#include <stdio.h>
#include <unistd.h>

static std::string ScriptPath() {
    return std::string(TESTS_SOURCE_DIR) + "/support/zipfixture.py";
}

// Debian's interpreter when present: it starts much faster than wrappers found earlier in PATH.
static std::string Python() {
    return access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

static std::string Quote(const std::string& text) {
    std::string res = "'";
    for (char c : text) res += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return res + "'";
}

// Files rather than pipes between the test and the script: the Windows tests start it through
// the bridge (TestOs.h), where no pipe reaches.
void MakePyZip(const std::string& path, const std::string& json) {
    TempDir scratch("qmhpyzip");
    WriteTestFile(scratch / "in.json", json);
    std::string command =
        Python() + " " + Quote(ScriptPath()) + " make " + Quote(path) + " < " + Quote(scratch / "in.json");
    ASSERT_EQ(RunShellCommand(command), 0) << "zipfixture.py make failed for " << json.substr(0, 300);
}

static std::string FromHex(const std::string& hex) {
    std::string res;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) res += char(std::stoi(hex.substr(i, 2), nullptr, 16));
    return res;
}

PyZipInfo ReadPyZipInfo(const std::string& path) {
    PyZipInfo res;
    TempDir scratch("qmhpyzip");
    std::string command =
        Python() + " " + Quote(ScriptPath()) + " info " + Quote(path) + " > " + Quote(scratch / "out.txt");
    EXPECT_EQ(RunShellCommand(command), 0) << "zipfixture.py info failed for " << path;
    std::string output = ReadTestFile(scratch / "out.txt");
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, '\t');) f.push_back(field);
        if (f.size() == 2 && f[0] == "comment") {
            res.commentLen = std::stoi(f[1]);
            continue;
        }
        EXPECT_EQ(f.size(), 16u) << line;
        if (f.size() != 16) continue;
        PyZipEntry e;
        e.name = FromHex(f[0]);
        e.flag = std::stoi(f[1]);
        e.method = std::stoi(f[2]);
        e.internalAttr = uint32_t(std::stoul(f[3]));
        e.externalAttr = uint32_t(std::stoul(f[4]));
        e.createSystem = std::stoi(f[5]);
        e.createVersion = std::stoi(f[6]);
        e.extractVersion = std::stoi(f[7]);
        e.headerOffset = std::stoull(f[8]);
        e.crc = uint32_t(std::stoul(f[9]));
        e.compressSize = std::stoull(f[10]);
        e.fileSize = std::stoull(f[11]);
        e.centralExtraLen = std::stoi(f[12]);
        e.localExtraLen = std::stoi(f[13]);
        e.commentLen = std::stoi(f[14]);
        e.dateTime = f[15];
        res.entries.push_back(e);
    }
    return res;
}

int UnzipTest(const std::string& path) {
    return RunShellCommand("unzip -tqq " + Quote(path) + " >/dev/null 2>&1");
}

std::string JsonString(const std::string& text) {
    std::string res = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            res += '\\';
            res += char(c);
        } else if (c < 0x20) {
            char buf[8];
            snprintf(buf, sizeof(buf), "\\u%04x", c);
            res += buf;
        } else {
            res += char(c);
        }
    }
    return res + "\"";
}

uint32_t ReadLE(const std::string& bytes, size_t offset, int width) {
    uint32_t value = 0;
    for (int i = width - 1; i >= 0; i--) value = (value << 8) | uint8_t(bytes.at(offset + i));
    return value;
}

void FlipByte(const std::string& path, uint64_t offset) {
    std::string bytes = ReadTestFile(path);
    ASSERT_LT(offset, bytes.size());
    bytes[offset] ^= 0x20;
    WriteTestFile(path, bytes);
}

const char* DamageName(Damage damage) {
    switch (damage) {
    case Damage::Truncated:
        return "truncated";
    case Damage::FlippedDataByte:
        return "flipped data byte";
    case Damage::GarbageDirectory:
        return "garbage central directory";
    case Damage::TextFile:
        return "text file";
    }
    return "?";
}

void DamageArchive(const std::string& path, Damage damage) {
    std::string bytes = ReadTestFile(path);
    switch (damage) {
    case Damage::Truncated:
        bytes.resize(bytes.size() / 2);
        break;
    case Damage::FlippedDataByte: {
        PyZipInfo info = ReadPyZipInfo(path);
        ASSERT_FALSE(info.entries.empty()) << path;
        const PyZipEntry* largest = &info.entries[0];
        for (const PyZipEntry& entry : info.entries)
            if (entry.compressSize > largest->compressSize) largest = &entry;
        ASSERT_GT(largest->compressSize, 0u) << path;
        bytes[largest->DataStart() + largest->compressSize / 2] ^= 0x20;
        break;
    }
    case Damage::GarbageDirectory: {
        size_t end = bytes.rfind(std::string("PK\x05\x06", 4));
        ASSERT_NE(end, std::string::npos) << path;
        for (size_t i = ReadLE(bytes, end + 16, 4); i < end; i++) bytes[i] = char(i * 131 + 7);
        break;
    }
    case Damage::TextFile:
        bytes = "This file replaced an archive.\n";
        break;
    }
    WriteTestFile(path, bytes);
}
