#include "update/UpdateSequence.h"

#include "base/Logging.h"
#include "net/Downloader.h"
#include "update/DownloadJournal.h"
#include "update/TemporaryFiles.h"

#include <exception>
#include <utility>

namespace ZipSync {

UpdateSequence::UpdateSequence(UpdateSources sources) : _process(std::make_unique<UpdateProcess>()) {
    Manifest provided;
    provided.reserve(sources.local.size() + sources.kept.size() + sources.remote.size());
    for (Manifest* source : {&sources.local, &sources.kept, &sources.remote})
        for (FileMetainfo& file : *source)
            if (file.location != FileLocation::Absent) provided.AppendFile(std::move(file));
    _process->Init(std::move(sources.target), std::move(provided), std::move(sources.rootDir));
    for (const std::string& zip : sources.owned) _process->AddManagedZip(zip);
    for (const DamagedZip& zip : sources.damaged) _process->AddDamagedZip(zip.path);
    _currentSize = sources.currentSize ? *sources.currentSize : SumOfZipSizes(sources.owned);
}

bool UpdateSequence::Plan(UpdateType type) {
    _complete = _process->DevelopPlan(type);
    _stats = ComputeUpdateStats(*_process, _currentSize);
    ZipSyncAssert(_complete == (_stats.missingSize == 0));
    return _complete;
}

void UpdateSequence::Download(Downloader& downloader, const ProgressCallback& verifyProgress) {
    _process->DownloadRemoteFiles(downloader, verifyProgress);
}

void UpdateSequence::Repack(const ProgressCallback& progress) {
    _process->RepackZips(progress);
}

void UpdateSequence::Finish() {
    CleanupTemporaryFiles(RootDir());
    RemoveDownloadJournal(RootDir());
}

void UpdateSequence::CleanUpAfterFailure() {
    try {
        CleanupTemporaryFiles(RootDir());
    } catch (const std::exception& e) {
        g_logger->warningf("Clean-up after the failure failed too: %s", e.what());
    }
}

void UpdateSequence::Execute(Downloader& downloader, const ProgressCallback& verifyProgress,
                             const ProgressCallback& repackProgress,
                             const std::function<void(UpdateStep done)>& afterStep) {
    try {
        Download(downloader, verifyProgress);
        if (afterStep) afterStep(UpdateStep::Download);
        Repack(repackProgress);
        if (afterStep) afterStep(UpdateStep::Repack);
    } catch (...) {
        g_logger->infof("Update failed; cleaning temporary files");
        CleanUpAfterFailure();
        throw;
    }
    Finish();
}

} // namespace ZipSync
