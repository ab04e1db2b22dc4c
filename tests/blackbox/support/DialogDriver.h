// Drives a running GUI program from outside, as a user at its windows would: finds the process's top-level
// windows, reads their texts and the state of their buttons, presses buttons, opens system-menu items and
// answers message boxes, and waits for each expected state with a time limit. Meanwhile a recorder keeps
// every text that the updater's status line showed and every box that appeared, for the checks afterwards.
#pragma once

#include "tests/blackbox/support/ProcessProbe.h"

#include <windows.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvantile::blackbox {

// Variables to set (or replace) in the child's copy of this process's environment.
using EnvironmentChanges = std::vector<std::pair<std::wstring, std::wstring>>;

// How long the driver waits for one expected state unless told otherwise.
inline constexpr DWORD kDriverWaitMilliseconds = 60'000;

class DialogDriver {
public:
    // Starts the program (see Started). The request's timeout is not used: every wait has its own.
    explicit DialogDriver(const LaunchRequest& request, const EnvironmentChanges& environment = {});
    // Terminates a process that still runs.
    ~DialogDriver();
    DialogDriver(const DialogDriver&) = delete;
    DialogDriver& operator=(const DialogDriver&) = delete;

    [[nodiscard]] bool Started() const noexcept { return launchError_ == 0; }
    [[nodiscard]] DWORD LaunchError() const noexcept { return launchError_; }
    [[nodiscard]] bool Running() const;

    // Waits until the condition holds, checking it every few milliseconds; false after the timeout.
    bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMilliseconds = kDriverWaitMilliseconds);

    // The updater's progress dialog (the top-level window with the status line and the progress bar) once it
    // is visible; nullptr after the timeout, or when the process ended first.
    [[nodiscard]] HWND WaitForProgressDialog(DWORD timeoutMilliseconds = kDriverWaitMilliseconds);
    // A visible dialog-class top-level window of the process with exactly this caption (a message box, the
    // About box); nullptr after the timeout, or when the process ended first.
    [[nodiscard]] HWND WaitForDialog(const std::wstring& caption, DWORD timeoutMilliseconds = kDriverWaitMilliseconds);
    // Waits until the dialog's control shows exactly this text.
    bool WaitForItemText(HWND dialog, int id, const std::wstring& text,
                         DWORD timeoutMilliseconds = kDriverWaitMilliseconds);
    bool WaitForWindowGone(HWND window, DWORD timeoutMilliseconds = kDriverWaitMilliseconds);
    // The exit code (all 32 bits) once the process has ended; empty after the timeout.
    [[nodiscard]] std::optional<DWORD> WaitForExit(DWORD timeoutMilliseconds = kDriverWaitMilliseconds);

    // Reads with WM_GETTEXT, which the window's own thread answers; empty when it does not within 2 s.
    [[nodiscard]] static std::wstring Text(HWND window) { return ReadWindowText(window); }
    [[nodiscard]] static std::wstring ItemText(HWND dialog, int id) { return Text(::GetDlgItem(dialog, id)); }
    // The texts of all the dialog's controls, in their order.
    [[nodiscard]] static std::vector<std::wstring> ItemTexts(HWND dialog);
    // False too when there is no such control.
    [[nodiscard]] static bool ItemEnabled(HWND dialog, int id);
    // What a click on the button sends its dialog: WM_COMMAND with BN_CLICKED, posted. False when the control
    // does not exist or the message could not be posted. Also answers a message box (IDYES, IDNO, IDOK).
    static bool Press(HWND dialog, int id);
    // A system-menu item, as choosing it from the menu posts it.
    static bool SystemCommand(HWND window, WPARAM command);
    static bool Post(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

    // Every text the status line showed, in order, each change once; the dialog's last text is among them
    // only when the recorder saw it before the dialog ended.
    [[nodiscard]] std::vector<std::wstring> StatusTexts() const;
    // Every other dialog-class window that turned visible (boxes, the About box), in order of appearance.
    [[nodiscard]] std::vector<MessageBoxRecord> Boxes() const;
    // The command line, how far the process got, and what was recorded: for failure messages.
    [[nodiscard]] std::string Describe() const;

private:
    class Recorder;

    std::wstring commandLine_;
    DWORD launchError_ = 0;
    PROCESS_INFORMATION process_{};
    std::unique_ptr<Recorder> recorder_;
};

}  // namespace corvantile::blackbox
