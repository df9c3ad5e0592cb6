// The installer's actions: the steps the wizard's pages run, one header per stage.
//
// Every action works on the current working directory, which is the install directory (the
// entry point makes the installer's own directory the working directory; installing elsewhere
// means copying the installer there and restarting it). Actions take what they need as
// arguments and return what they find; the wizard keeps the results between its pages
// (InstallerState.h). They log at info level (lists at debug level) through g_logger, report
// progress through the ProgressIndicator they are given (may be null where said) or, in the
// sequences, to a SequenceView, and fail by raising ErrorException; they never show a window.
//
// Calling order: settings page RunStartup (Startup.h: CheckSpaceAndPermissions, StartLogFile,
// NeedsSelfUpdate and DoSelfUpdate, ReadConfigFile, then the scan of Scan.h) or RunRestart;
// version page EvaluateVersion (Evaluation.h); installation page RunInstallation
// (Installation.h: download, repack, finalisation); finishing page RestoreOldConfig,
// CreateDesktopShortcut (Finishing.h). The game's rules are in GameRules.h, unpacking in
// UnpackZip.h.
#pragma once

#include "Evaluation.h"
#include "Finishing.h"
#include "GameRules.h"
#include "Installation.h"
#include "Scan.h"
#include "SequenceView.h"
#include "Startup.h"
#include "UnpackZip.h"
