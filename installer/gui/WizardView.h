// The wizard's side of the installer's sequences (SequenceView.h): every stage locks its page
// (GuiDeactivizer) and shows its progress bar (ProgressIndicatorGui) for as long as it runs,
// warnings become questions and news a message box (GuiMessageBox, which also serves the
// unattended run).
//
//   SelfUpdate, ConfigDownload, Scan   page 1, scanProgress (the scan with the taskbar too)
//   Download                           page 4 but Cancel, downloadProgress (with the remaining
//                                      time and the taskbar) and verifyProgress (taskbar)
//   Repack                             page 4, repackProgress (taskbar)
//   Finalize                           page 4, finalizeProgress
#pragma once

#include "SequenceView.h"

class WizardView : public SequenceView {
public:
    // "I know what I'm doing" goes on, "Stop" stops.
    bool ConfirmWarning(const std::string& warning) override;
    void Inform(const std::string& message) override;
    std::unique_ptr<StageScope> BeginStage(Stage stage) override;
};
