// The progress dialog, the program's window in the interactive and silent runs, and its About box.
#pragma once

#include "ui/DialogState.h"

#include <windows.h>

namespace corvantile {

// Where the dialog stands: Ready until OK, Running until the outcome, then Finished.
enum class DialogPhase { Ready, Running, Finished };

// The dialog starts the update on OK (at once in an unattended run), shows each patch and the outcome, refuses
// to close while the update runs, and when destroyed removes the working directory and posts the quit message
// with the run's exit code (0 when no run was started). Both the object and the state must outlive the window.
class ProgressDialog {
public:
    explicit ProgressDialog(DialogState& state) noexcept : state_(state) {}
    ProgressDialog(const ProgressDialog&) = delete;
    ProgressDialog& operator=(const ProgressDialog&) = delete;

    // Creates the window from IDD_UPDATER, hidden, and records it in the state; null when it cannot be
    // created. Once only.
    [[nodiscard]] HWND Create();
    [[nodiscard]] DialogPhase phase() const noexcept { return phase_; }

private:
    static INT_PTR CALLBACK Procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) noexcept;
    INT_PTR Handle(UINT message, WPARAM wParam);
    void Initialize();
    void StartRun();
    bool HandleCommand(WORD command);
    // "Close", the outcome text, the bar hidden; an unattended run closes.
    void ShowOutcome(bool succeeded);

    DialogState& state_;
    HWND window_ = nullptr;
    DialogPhase phase_ = DialogPhase::Ready;
};

}  // namespace corvantile
