// Runs a fuzz target over saved inputs instead of exploring: every file named on the command
// line, and every file inside a directory named there (not recursively), in name order. Used
// where libFuzzer is not linked in, so that the test suite replays the corpus under the
// compiler and sanitizers of its own build.
#include "FuzzSupport.h"

#include <algorithm>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <stdio.h>
#include <string>
#include <sys/stat.h>
#include <vector>

static std::vector<std::string> InputFiles(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return {};
    if (!S_ISDIR(info.st_mode)) return {path};
    std::vector<std::string> files;
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* entry = readdir(dir)) {
            std::string file = path + "/" + entry->d_name;
            if (entry->d_name[0] != '.' && stat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode))
                files.push_back(file);
        }
        closedir(dir);
    }
    std::sort(files.begin(), files.end());
    return files;
}

int main(int argc, char** argv) {
    int count = 0;
    for (int i = 1; i < argc; i++) {
        for (const std::string& file : InputFiles(argv[i])) {
            std::ifstream in(file, std::ios::binary);
            std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
            LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            count++;
        }
    }
    printf("Replayed %d inputs\n", count);
    return count > 0 ? 0 : 1;
}
