// Runs a Windows GUI program as a separate process and watches its message boxes from outside: every box
// that the process shows is recorded (caption and text) and dismissed with OK, so the program can go on. The
// updater's progress dialog is not a box: it is counted and asked to close with Cancel.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace corvantile::blackbox {

struct MessageBoxRecord {
    std::wstring caption;
    std::wstring text;  // of the box's static text control (id 65535), as WM_GETTEXT returns it

    bool operator==(const MessageBoxRecord&) const = default;
};

struct ProcessRun {
    std::wstring commandLine;
    DWORD launchError = 0;  // the error of CreateProcessW; 0 when the process started
    bool timedOut = false;  // the process outlived the timeout and was terminated
    DWORD exitCode = 0;     // all 32 bits, from GetExitCodeProcess
    std::vector<MessageBoxRecord> boxes;  // in the order they appeared
    int progressDialogs = 0;

    [[nodiscard]] bool Finished() const noexcept { return launchError == 0 && !timedOut; }
    // One line for failure messages: command line, how the run ended, the boxes seen.
    [[nodiscard]] std::string Describe() const;
};

struct LaunchRequest {
    std::wstring program;
    std::vector<std::wstring> arguments;  // each passed as one argument, quoted as needed
    std::wstring workingDirectory;        // empty: the caller's
    DWORD timeoutMilliseconds = 20'000;
};

// Starts the program, probes its top-level windows until it ends, and returns how it ended. Waits at most
// the timeout; a process still running then is terminated and the run marked timed out.
[[nodiscard]] ProcessRun RunAndProbe(const LaunchRequest& request);

// The command-line form of one argument that CommandLineToArgvW splits back into exactly that argument.
[[nodiscard]] std::wstring QuoteArgument(const std::wstring& argument);

// UTF-8 for messages.
[[nodiscard]] std::string Narrow(const std::wstring& text);

// A window's text by WM_GETTEXT, which the window's own thread answers; empty when it does not within 2 s.
[[nodiscard]] std::wstring ReadWindowText(HWND window);
// Of the dialog class, as message boxes, the About box and the progress dialog are.
[[nodiscard]] bool IsDialogClass(HWND window);
// The updater's progress dialog: the only dialog with a status line and a progress bar.
[[nodiscard]] bool IsProgressDialog(HWND window);

}  // namespace corvantile::blackbox
