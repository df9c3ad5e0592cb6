#include "GuiPageVersion.h"

#include "Evaluation.h"
#include "GuiLayout.h"
#include "GuiUtils.h"
#include "InstallerState.h"
#include "ProgressIndicatorGui.h"
#include "base/Logging.h"
#include "base/Path.h"

#include <FL/Fl_Tree_Item.H>

using namespace ZipSync;

namespace {

const Fl_Color kInvalidColor = 88;

// The selected item when exactly one is selected and it is a version (has no children).
Fl_Tree_Item* SingleSelectedVersion() {
    Fl_Tree_Item* first = versionTree->first_selected_item();
    if (!first || versionTree->next_selected_item(first) || first->has_children()) return nullptr;
    return first;
}

std::string SelectionKey(const Fl_Tree_Item* item, const std::string& url) {
    return EvaluationKey(item->label() ? item->label() : "", url);
}

bool IsBadCustomUrl(const std::string& url) {
    return !url.empty() && !PathAR::IsHttp(url);
}

} // namespace

std::vector<Fl_Output*> VersionSizeOutputs() {
    return {versionCurrentSize, versionFinalSize, versionAddedSize, versionRemovedSize, versionDownloadSize};
}

std::string FormatSize(uint64_t bytes) {
    uint64_t megabytes = bytes / 1000000 + (bytes % 1000000 != 0 ? 1 : 0);
    return FormatString("%llu MB", (unsigned long long)megabytes);
}

void FillVersionPage() {
    versionTree->showroot(0);
    versionTree->clear();
    std::string defaultVersion = g_state.config.GetDefaultVersion();
    for (const std::string& version : g_state.config.GetVersions()) {
        std::string path;
        for (const std::string& folder : g_state.config.GetFolderPath(version)) path += folder + "/";
        path += version;
        Fl_Tree_Item* item = versionTree->add(path.c_str());
        if (item && version == defaultVersion) versionTree->select(item, 0);
    }
    versionTree->redraw();

    lastInstalledOutput->value(g_state.scan.lastInstall.version.c_str());

    mirrorChoice->clear();
    mirrorChoice->add("[auto]");
    for (const std::string& mirror : g_state.config.GetMirrorNames()) {
        // add() reads '/', '&' and '_' in a label as menu structure (and merges equal labels):
        // add a unique placeholder, then set the name as plain text.
        int index = mirrorChoice->add(FormatString("%d", mirrorChoice->size()).c_str(), 0, nullptr);
        mirrorChoice->replace(index, mirror.c_str());
    }
    mirrorChoice->value(0);
}

void VersionSelectionCallback(Fl_Widget*, void*) {
    Fl_Tree_Item* version = SingleSelectedVersion();
    std::string url = customUrlInput->value();
    bool badUrl = IsBadCustomUrl(url);
    bool evaluated = false;
    if (version) {
        evaluated = SelectionKey(version, url) == g_state.evaluatedVersion;
        if (badUrl) {
            versionNextButton->deactivate();
            refreshInfoButton->deactivate();
        } else {
            versionNextButton->activate();
            refreshInfoButton->activate();
        }
    } else {
        versionNextButton->deactivate();
        refreshInfoButton->deactivate();
    }

    for (Fl_Output* size : VersionSizeOutputs()) {
        if (evaluated)
            size->activate();
        else
            size->deactivate();
    }
    if (evaluated)
        refreshInfoButton->hide();
    else
        refreshInfoButton->show();

    static const Fl_Color originalUrlColor = customUrlInput->color();
    if (url.empty())
        customUrlHint->hide();
    else
        customUrlHint->show();
    customUrlInput->color(badUrl ? kInvalidColor : originalUrlColor);
    customUrlInput->redraw();
}

void RefreshInfoButtonCallback(Fl_Widget*, void*) {
    RunShowingErrors(
        [] {
            Fl_Tree_Item* firstSel = versionTree->first_selected_item();
            ZipSyncAssert(firstSel);
            std::string version = firstSel->label() ? firstSel->label() : "";
            std::string url = customUrlInput->value();
            if (!url.empty() && !g_state.config.IsTrustedUrl(url) &&
                GuiMessageBox(GuiMbQuestion | GuiMbIconWarning,
                              "The custom URL you entered does NOT belong to Quillmere main server.\n"
                              "Make sure you got this URL from a trusted source!",
                              "Continue", "Stop") == 1)
                return;

            VersionChoice choice{version, url, bitwiseExactCheck->value() != 0, g_state.preferredMirror};
            Evaluation evaluation;
            {
                GuiDeactivizer deactivizer(pageVersion);
                evaluateProgress->show();
                Fl::check();
                ProgressIndicatorGui progress(evaluateProgress, "Evaluation");
                progress.SetMainWindow(mainWindow);
                evaluation = EvaluateVersion(choice, g_state.config, g_state.loadedManifests, g_state.scan,
                                             g_state.network, &progress);
            }
            evaluateProgress->hide();

            const UpdateStats& stats = evaluation.stats;
            std::vector<Fl_Output*> outputs = VersionSizeOutputs();
            uint64_t sizes[] = {stats.currentSize, stats.finalSize, stats.addedSize, stats.removedSize,
                                stats.downloadSize};
            for (size_t i = 0; i < outputs.size(); i++)
                outputs[i]->value(stats.missingSize != 0 ? "MISS" : FormatSize(sizes[i]).c_str());

            g_state.evaluatedVersion = evaluation.version;
            g_state.evaluation = std::move(evaluation);
            versionTree->do_callback();
        },
        [] { evaluateProgress->hide(); });
}

void MirrorChoiceCallback(Fl_Widget*, void*) {
    const char* chosen = mirrorChoice->text();
    if (mirrorChoice->value() <= 0 || !chosen)
        g_state.preferredMirror.clear();
    else
        g_state.preferredMirror = chosen;
}

void VersionNextButtonCallback(Fl_Widget*, void*) {
    // Refresh Info is visible while the selection is not evaluated; an inactive one means there is
    // nothing to evaluate, and an older plan must not pass for this selection.
    if (refreshInfoButton->visible()) {
        if (refreshInfoButton->active()) refreshInfoButton->do_callback();
        if (refreshInfoButton->visible()) return;
    }
    if (!g_state.evaluation.update) {
        Fl_Tree_Item* selected = versionTree->first_selected_item();
        std::string message = FormatString("Custom manifest URL cannot be used with base version %s.\n"
                                           "Make sure you select correct base version.",
                                           selected && selected->label() ? selected->label() : "");
        GuiMessageBox(GuiMbOk | GuiMbIconError | GuiMbFirstLabelFirst, message.c_str());
        return;
    }
    confirmInstallDir->value(installDirInput->value());
    confirmLastInstalled->value(lastInstalledOutput->value());
    confirmVersion->value(g_state.evaluatedVersion.c_str());
    Fl_Output* confirmSizes[] = {confirmCurrentSize, confirmFinalSize, confirmAddedSize, confirmRemovedSize,
                                 confirmDownloadSize};
    std::vector<Fl_Output*> versionSizes = VersionSizeOutputs();
    for (size_t i = 0; i < versionSizes.size(); i++) confirmSizes[i]->value(versionSizes[i]->value());
    wizard->value(pageConfirm);
}
