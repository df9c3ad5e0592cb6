// What the version page (page 2) does: the tree of versions from the configuration, the custom
// manifest URL, the evaluation of the chosen version with its five sizes, the preferred mirror,
// and the move to the confirmation page once a plan exists.
//
// A selection is "evaluated" when its key (the version's label, plus " & " and the custom URL
// when one is given) equals g_state.evaluatedVersion; only then are the sizes current and Next
// passes without evaluating again.
#pragma once

#include <FL/Fl_Output.H>
#include <FL/Fl_Widget.H>
#include <stdint.h>
#include <string>
#include <vector>

// The page's five size fields: current, final, added, removed, download.
std::vector<Fl_Output*> VersionSizeOutputs();
// A size in bytes as the wizard shows it: megabytes (10^6 bytes) rounded up, then " MB".
std::string FormatSize(uint64_t bytes);

// Fills the tree (every version under its folder path, the default one selected), the last
// installed version and the mirror choice ("[auto]" selected) from g_state.
void FillVersionPage();

// The tree's and the custom URL's callback: locks Next and Refresh Info unless one version (an
// item without children) is selected and the URL is empty or starts with "http://"; paints a bad
// URL red; shows the sizes only for an evaluated selection.
void VersionSelectionCallback(Fl_Widget*, void*);
// Evaluates the selected version (asking first about a custom URL off the official server) and
// shows the sizes, or "MISS" in all five when data is missing.
void RefreshInfoButtonCallback(Fl_Widget*, void*);
void MirrorChoiceCallback(Fl_Widget*, void*);
// Evaluates when needed, then fills the confirmation page and moves there; without a plan
// (missing data) it reports that the custom URL does not fit the base version.
void VersionNextButtonCallback(Fl_Widget*, void*);
