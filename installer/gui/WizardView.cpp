#include "WizardView.h"

#include "GuiLayout.h"
#include "GuiUtils.h"
#include "ProgressIndicatorGui.h"

#include <initializer_list>
#include <optional>

namespace {

class WizardStage : public StageScope {
public:
    WizardStage(Fl_Widget* page, std::initializer_list<Fl_Widget*> excluded) : _deactivizer(page, excluded) {}

    // The stage's bar, labelled with what (see ProgressIndicatorGui); with taskbar set, the
    // taskbar button shows the progress too.
    ProgressIndicatorGui& ShowProgress(Fl_Progress* bar, const char* what, bool taskbar) {
        return Show(_progress, bar, what, taskbar);
    }
    ProgressIndicatorGui& ShowVerifyProgress(Fl_Progress* bar) {
        return Show(_verify, bar, "Verification", true);
    }

    ZipSync::ProgressIndicator* Progress() override { return _progress ? &*_progress : nullptr; }
    ZipSync::ProgressIndicator* VerifyProgress() override { return _verify ? &*_verify : nullptr; }

private:
    static ProgressIndicatorGui& Show(std::optional<ProgressIndicatorGui>& slot, Fl_Progress* bar,
                                      const char* what, bool taskbar) {
        slot.emplace(bar, what);
        if (taskbar) slot->SetMainWindow(mainWindow);
        return *slot;
    }

    // Declared first: the bars say how their stage ended before the page is unlocked.
    GuiDeactivizer _deactivizer;
    std::optional<ProgressIndicatorGui> _progress, _verify;
};

} // namespace

bool WizardView::ConfirmWarning(const std::string& warning) {
    return GuiMessageBox(GuiMbQuestion | GuiMbIconWarning | GuiMbFirstLabelFirst, warning.c_str(),
                         "I know what I'm doing", "Stop") != 1;
}

void WizardView::Inform(const std::string& message) {
    GuiMessageBox(GuiMbOk | GuiMbIconInfo, message.c_str());
}

std::unique_ptr<StageScope> WizardView::BeginStage(Stage stage) {
    switch (stage) {
    case Stage::SelfUpdate:
    case Stage::ConfigDownload:
    case Stage::Scan: {
        auto scope = std::make_unique<WizardStage>(pageSettings, std::initializer_list<Fl_Widget*>{});
        const char* what = stage == Stage::SelfUpdate       ? "Installer update check"
                           : stage == Stage::ConfigDownload ? "Configuration"
                                                            : "Scan";
        scope->ShowProgress(scanProgress, what, stage == Stage::Scan);
        return scope;
    }
    case Stage::Download: {
        auto scope =
            std::make_unique<WizardStage>(pageInstall, std::initializer_list<Fl_Widget*>{cancelButton});
        downloadProgress->show();
        Fl::check();
        scope->ShowProgress(downloadProgress, "Download", true).SetRemainingTimeLabel(remainingLabel);
        scope->ShowVerifyProgress(verifyProgress);
        return scope;
    }
    case Stage::Repack: {
        auto scope = std::make_unique<WizardStage>(pageInstall, std::initializer_list<Fl_Widget*>{});
        scope->ShowProgress(repackProgress, "Repacking", true);
        return scope;
    }
    case Stage::Finalize:
        break;
    }
    auto scope = std::make_unique<WizardStage>(pageInstall, std::initializer_list<Fl_Widget*>{});
    scope->ShowProgress(finalizeProgress, "Finalization", false);
    return scope;
}
