// What the installer's sequences (the settings page's start-up, the installation) need from
// whoever drives them: the wizard shows every stage on its page, locked and with its progress
// bars, and puts warnings and news to the user; a test records them.
//
// A sequence opens each stage with BeginStage and keeps the returned StageScope for exactly as
// long as the stage runs, so the scope also ends when the stage fails. The scope owns what the
// view set up for the stage (progress indicators, locked controls); the indicators it hands out
// live as long as the scope.
#pragma once

#include "base/ProgressIndicator.h"

#include <memory>
#include <string>

enum class Stage {
    // Start-up: the installer's own update, the configuration, the scan of the install directory.
    SelfUpdate,
    ConfigDownload,
    Scan,
    // Installation.
    Download,
    Repack,
    Finalize,
};

class StageScope {
public:
    virtual ~StageScope() = default;
    // The stage's progress, null when nothing shows it.
    virtual ZipSync::ProgressIndicator* Progress() = 0;
    // The download stage reports the verification of what arrived apart from the transfer: its
    // indicator, null when nothing shows it (and in every other stage).
    virtual ZipSync::ProgressIndicator* VerifyProgress() { return nullptr; }
};

class SequenceView {
public:
    virtual ~SequenceView() = default;
    // Puts a warning to the user; false when the user chose to stop.
    virtual bool ConfirmWarning(const std::string& warning) = 0;
    // Tells the user something that needs no answer.
    virtual void Inform(const std::string& message) = 0;
    // A stage begins; it ends when the returned scope is destroyed.
    virtual std::unique_ptr<StageScope> BeginStage(Stage stage) = 0;
};
