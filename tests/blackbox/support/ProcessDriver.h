// Drives Windows GUI programs from outside, as a user at their windows would: starts a process, finds its
// top-level windows, reads their texts and the state of their controls, presses buttons and opens system-menu
// items, waits for each expected state with a time limit, and reports the exit code. While the process runs, a
// recorder keeps every box that turned visible and every text the updater's status line showed; for runs that
// nobody drives it also answers them (RunAndProbe). The black-box tests and scripts/screenshot-probe.cpp (which
// drives windows of a process it did not start) share this one driver.
#pragma once

#include "base/UniqueHandles.h"

#include <windows.h>

#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace corvantile::blackbox {

// Texts one per element: a dialog's controls, status texts, log messages, directory listings.
using Lines = std::vector<std::wstring>;

// How long a wait lasts unless told otherwise.
inline constexpr DWORD kWaitMilliseconds = 60'000;

struct MessageBoxRecord {
    std::wstring caption;
    std::wstring text;  // of the box's static text control (id 65535)

    bool operator==(const MessageBoxRecord&) const = default;
};
void PrintTo(const MessageBoxRecord& box, std::ostream* out);

// ---- Windows of any process ----

// Reads with WM_GETTEXT, which the window's own thread answers; empty when it does not within 2 s.
[[nodiscard]] std::wstring Text(HWND window);
[[nodiscard]] std::wstring ItemText(HWND dialog, int id);
// The texts of all the dialog's controls, in their order.
[[nodiscard]] Lines ItemTexts(HWND dialog);
// False too when there is no such control.
[[nodiscard]] bool ItemEnabled(HWND dialog, int id);
// What a click on the button sends its dialog: WM_COMMAND with BN_CLICKED, posted. False when the control
// does not exist or the message could not be posted. Also answers a message box (IDYES, IDNO, IDOK).
bool Press(HWND dialog, int id);
// A system-menu item, as choosing it from the menu posts it.
bool SystemCommand(HWND window, WPARAM command);
bool Post(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0);

// The first visible dialog-class top-level window (a box, the About box, the progress dialog) of the process,
// or of any process for 0, in z-order, with exactly this caption; nullptr when there is none.
[[nodiscard]] HWND FindDialog(DWORD processId, const std::wstring& caption);

// Checks the condition every 10 ms until it holds; false after the timeout.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMilliseconds = kWaitMilliseconds);
bool WaitForWindowGone(HWND window, DWORD timeoutMilliseconds = kWaitMilliseconds);

// The command-line form of the arguments, each quoted so that CommandLineToArgvW splits it back into exactly
// that argument, separated by spaces.
[[nodiscard]] std::wstring QuoteArguments(const std::vector<std::wstring>& arguments);
// UTF-8 for messages.
[[nodiscard]] std::string Narrow(const std::wstring& text);
// Lines for messages, each on a line of its own, or " (none)".
[[nodiscard]] std::string Show(const Lines& lines);

// ---- A process of its own ----

// Variables to set (or replace) in the child's copy of this process's environment.
using EnvironmentChanges = std::vector<std::pair<std::wstring, std::wstring>>;

struct LaunchRequest {
    std::wstring program;
    std::vector<std::wstring> arguments;  // each passed as one argument, quoted as needed
    std::wstring workingDirectory;        // empty: the caller's
    EnvironmentChanges environment = {};
};

class ProcessDriver {
public:
    // What the recorder does with the windows it finds besides recording them: nothing, or answer each box with
    // OK and ask each progress dialog to close with Cancel, for a run that nobody drives.
    enum class Answering { None, OkAndCancel };

    // Starts the program (see Started) and its recorder.
    explicit ProcessDriver(const LaunchRequest& request, Answering answering = Answering::None);
    // Terminates a process that still runs.
    ~ProcessDriver();
    ProcessDriver(const ProcessDriver&) = delete;
    ProcessDriver& operator=(const ProcessDriver&) = delete;

    [[nodiscard]] bool Started() const noexcept { return launchError_ == 0; }
    [[nodiscard]] DWORD LaunchError() const noexcept { return launchError_; }
    [[nodiscard]] bool Running() const;

    // The progress dialog once it is visible, its status text recorded; nullptr after the timeout, or when the
    // process ended first.
    [[nodiscard]] HWND WaitForProgressDialog(DWORD timeoutMilliseconds = kWaitMilliseconds);
    // A visible dialog of the process with exactly this caption (a box, the About box); nullptr after the
    // timeout, or when the process ended first.
    [[nodiscard]] HWND WaitForDialog(const std::wstring& caption, DWORD timeoutMilliseconds = kWaitMilliseconds);
    // Waits until the progress dialog's status line shows this text, which is recorded then even when the test
    // ends it (by pressing a button) before the recorder's next look.
    bool WaitForStatusText(HWND dialog, const std::wstring& text, DWORD timeoutMilliseconds = kWaitMilliseconds);
    // The exit code (all 32 bits) once the process has ended, and the recorder with it; empty after the timeout.
    [[nodiscard]] std::optional<DWORD> WaitForExit(DWORD timeoutMilliseconds = kWaitMilliseconds);
    // Ends the process, marks it timed out, and returns its exit code.
    DWORD Terminate();

    // Every text the status line showed, in order, each change once. The recorder looks every millisecond; the
    // texts a wait found are among them whatever the recorder saw.
    [[nodiscard]] Lines StatusTexts() const;
    // Every other dialog that turned visible (boxes, the About box), in order of appearance.
    [[nodiscard]] std::vector<MessageBoxRecord> Boxes() const;
    // How many progress dialogs turned visible.
    [[nodiscard]] int ProgressDialogs() const;
    // The command line, how far the process got, and what was recorded: for failure messages.
    [[nodiscard]] std::string Describe() const;

private:
    // What `find` finds once it finds it; nullptr after the timeout, or when the process ended first.
    HWND WaitForWindow(const std::function<HWND()>& find, DWORD timeoutMilliseconds);
    void Record();
    // Records a box the first time that either the recorder or a wait finds it: a test may answer a box before
    // the recorder's next look. True when it was new.
    bool NoteBox(HWND window);
    // Records the text the dialog's status line shows now, as the recorder would have.
    void NoteStatusText(HWND dialog);
    // Adds a text unless it is the one recorded last; the caller holds the mutex.
    void AppendStatusText(const std::wstring& text);
    void StopRecorder();

    std::wstring commandLine_;
    DWORD launchError_ = 0;
    bool terminated_ = false;
    UniqueHandle process_;
    DWORD processId_ = 0;
    Answering answering_;
    UniqueHandle stop_{::CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    // Written by the recorder's thread, read by the driver's.
    mutable std::mutex mutex_;
    Lines statusTexts_;
    std::vector<MessageBoxRecord> boxes_;
    std::set<HWND> boxWindows_;
    int progressDialogs_ = 0;
    std::thread recorder_;
};

// ---- A run that nobody drives ----

struct ProcessRun {
    DWORD launchError = 0;                // the error of CreateProcessW; 0 when the process started
    bool timedOut = false;                // the process outlived the timeout and was terminated
    DWORD exitCode = 0;                   // all 32 bits, from GetExitCodeProcess
    std::vector<MessageBoxRecord> boxes;  // in the order they appeared
    int progressDialogs = 0;
    std::string description;  // ProcessDriver::Describe at the end

    [[nodiscard]] bool Finished() const noexcept { return launchError == 0 && !timedOut; }
    [[nodiscard]] const std::string& Describe() const noexcept { return description; }
};

// Starts the program, answers its boxes with OK and its progress dialog with Cancel until it ends, and returns
// how it ended. A process still running after the timeout is terminated and the run marked timed out.
[[nodiscard]] ProcessRun RunAndProbe(const LaunchRequest& request, DWORD timeoutMilliseconds = 20'000);

}  // namespace corvantile::blackbox
