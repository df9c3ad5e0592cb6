// Unpacking an archive's files into the install directory.
//
// The finalisation unpacks the game's loose files (binaries, libraries) from a shared archive
// into the working directory. Entry names come from a downloaded archive, so all of them are
// checked before anything is written: only plain relative file names that stay inside the
// working directory are accepted, and the caller refuses names it knows to be taken (the
// installer's own files, the game's archives). A StagedUnpack then writes every entry to a
// temporary file beside its target ("__unpacking__" before the file name) and only its Commit
// renames them into place, so that an entry that cannot be written leaves every existing file
// as it was. The caller owns the open zip; the StagedUnpack owns its temporary files until
// they are committed and removes the rest when destroyed.
#pragma once

#include "base/Hash.h"
#include "zip/ZipHolders.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

// Why the caller refuses an entry name (one that passed WhyUnsafeEntryName); empty when it may
// be unpacked.
using EntryRefusal = std::function<std::string(const std::string& name)>;

// Empty when an entry name may be written into the working directory, else why not: the name
// is empty or absolute, climbs out with "..", has an empty or "." component, holds a backslash
// or a control character, names a directory, is no plain file name (it holds a '/'), or is the
// name of a staged unpack's temporary file.
std::string WhyUnsafeEntryName(const std::string& name);
// Raises "Refusing to unpack entry \"%s\": %s" (control characters of the name escaped) with
// WhyUnsafeEntryName's reason, or else refusal's (when given and not empty).
void CheckEntryName(const std::string& name, const EntryRefusal& refusal);

// Whether a file name (no directory part) is that of a staged unpack's temporary file.
bool IsUnpackTemporaryName(const std::string& fileName);
// Deletes the temporary files that a staged unpack left anywhere below root when its process
// ended before the commit, logging "Deleting %s..." for each.
void RemoveUnpackLeftovers(const std::string& root);

class StagedUnpack {
public:
    StagedUnpack() = default;
    StagedUnpack(StagedUnpack&&) = default;
    StagedUnpack& operator=(StagedUnpack&&) = delete;
    StagedUnpack(const StagedUnpack&) = delete;
    StagedUnpack& operator=(const StagedUnpack&) = delete;
    // Removes the temporary files not committed.
    ~StagedUnpack();

    // Checks every entry name of the open zip with CheckEntryName, then that no directory
    // stands at any target ("Cannot unpack entry \"%s\": a directory is in its place"), and only
    // then writes each file entry, in central-directory order, to its temporary file. An entry
    // that cannot be written fails with "Cannot open file \"%s\" for writing: %s" or "Failed to write
    // file \"%s\": %s" (its name, the system's reason). A name given twice keeps the later
    // contents. Minizip failures raise "Minizip error %d". On failure nothing stays staged.
    void Stage(ZipSync::UnzFileHolder& zf, const EntryRefusal& refusal);
    // Renames every staged file over its target (replacing a file or link there, never writing
    // through it) and returns the names, in staging order. A rename that fails raises "Failed
    // to move %s into place: %s"; the files moved before it stay moved.
    std::vector<std::string> Commit();
    // The names staged and not committed yet.
    std::vector<std::string> Names() const;
    // The digest of each staged file's contents, by name.
    std::map<std::string, ZipSync::HashDigest> Digests() const;

private:
    // Removes the temporary files not committed and forgets every file.
    void Discard();

    struct File {
        // temp is empty once committed.
        std::string name, temp;
        ZipSync::HashDigest digest;
    };
    std::vector<File> _files;
};

// Stage and Commit of one zip without a refusal; returns the names written.
std::vector<std::string> UnpackZip(ZipSync::UnzFileHolder& zf);
