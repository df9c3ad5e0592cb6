// The engine's temporary files left below a directory, for tests that check a clean-up.
#pragma once

#include "update/DownloadJournal.h"
#include "update/TemporaryFiles.h"

#include <filesystem>
#include <string>
#include <vector>

// Names of the files below root that carry one of the engine's temporary prefixes, the download
// journal (kept entries, DownloadJournal.h) left out.
inline std::vector<std::string> TemporaryFileNames(const std::string& root) {
    std::vector<std::string> found;
    std::string journal = ZipSync::DownloadJournalDir(root) + "/";
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        if (entry.path().generic_string().rfind(journal, 0) == 0) continue;
        std::string name = entry.path().filename().string();
        if (ZipSync::IsTemporaryFileName(name)) found.push_back(name);
    }
    return found;
}
