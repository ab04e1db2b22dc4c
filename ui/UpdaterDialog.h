// The progress dialog, the program's window in the interactive and silent runs, and its About box.
#pragma once

#include "ui/DialogState.h"

#include <windows.h>

namespace corvantile {

// The procedure of IDD_UPDATER; the creation parameter is the DialogState, which must outlive the window.
// The dialog starts the update on OK (at once in a silent run), shows each patch and the outcome, refuses
// to close while the update runs, and when destroyed removes the working directory and posts the quit
// message with the run's exit code (0 when no run was started).
INT_PTR CALLBACK UpdaterDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) noexcept;

// Puts the dialog into its finished state: "Close", the outcome text, the bar hidden; a silent run closes.
void ShowOutcome(DialogState& state, bool succeeded);

}  // namespace corvantile
