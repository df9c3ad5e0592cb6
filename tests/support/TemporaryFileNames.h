// The engine's temporary files left below a directory, for tests that check a clean-up.
#pragma once

#include "TemporaryFiles.h"

#include <filesystem>
#include <string>
#include <vector>

// Names of the files below root that carry one of the engine's temporary prefixes.
inline std::vector<std::string> TemporaryFileNames(const std::string& root) {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        std::string name = entry.path().filename().string();
        for (const char* prefix :
             {ZipSync::kDownloadPrefix, ZipSync::kRepackedPrefix, ZipSync::kReducedPrefix})
            if (name.rfind(prefix, 0) == 0) found.push_back(name);
    }
    return found;
}
