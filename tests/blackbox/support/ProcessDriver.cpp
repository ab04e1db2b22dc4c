#include "tests/blackbox/support/ProcessDriver.h"

#include "res/resource.h"
#include "tests/support/SystemTexts.h"

#include <algorithm>
#include <set>

namespace corvantile::blackbox {

namespace {

// How often a wait checks its condition.
constexpr DWORD kWaitIntervalMilliseconds = 10;
// How long one WM_GETTEXT may take before the window counts as hung.
constexpr UINT kTextTimeoutMilliseconds = 2'000;
// The recorder reads the status line this often: a silent run shows its outcome for a few milliseconds only.
constexpr DWORD kRecordIntervalMilliseconds = 1;
// ... and looks for new top-level windows this often once it has found the progress dialog.
constexpr ULONGLONG kWindowScanMilliseconds = 10;
// An empty status line is recorded once it has lasted this long (see Record).
constexpr ULONGLONG kEmptyTextMilliseconds = 250;
constexpr DWORD kTerminatedExitCode = 0xDEADDEAD;

// The window's text as the system keeps it, without a message to the window's thread: the recorder must read
// while that thread is busy, in the moment between the last status text and the end of the dialog.
std::wstring StoredText(HWND window) {
    if (window == nullptr) return {};
    wchar_t text[1024] = {};
    const int length = ::InternalGetWindowText(window, text, 1024);
    return std::wstring(text, static_cast<std::size_t>(std::max(length, 0)));
}

bool SameName(std::wstring_view a, std::wstring_view b) {
    return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

// A copy of this process's environment block with the changes applied; empty for no changes.
std::wstring EnvironmentBlock(const EnvironmentChanges& changes) {
    if (changes.empty()) return {};
    std::vector<std::wstring> entries;
    if (const LPWCH block = ::GetEnvironmentStringsW()) {
        for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) entries.emplace_back(entry);
        ::FreeEnvironmentStringsW(block);
    }
    for (const auto& [name, value] : changes) {
        // A name may begin with "=" (the per-drive current directories): the separator is looked for after it.
        std::erase_if(entries, [&name](const std::wstring& entry) {
            return SameName(std::wstring_view(entry).substr(0, entry.find(L'=', 1)), name);
        });
        entries.push_back(name + L"=" + value);
    }
    std::wstring joined;
    for (const std::wstring& entry : entries) joined += entry + L'\0';
    return joined + L'\0';
}

// The updater's progress dialog: the only dialog with a status line and a progress bar.
bool IsProgressDialog(HWND window) {
    return ::GetDlgItem(window, IDC_STATUS_TEXT) != nullptr && ::GetDlgItem(window, IDC_PROGRESS) != nullptr;
}

// The dialog-class top-level windows of the process (of every process for 0), in z-order.
std::vector<HWND> Dialogs(DWORD processId) {
    std::vector<HWND> windows;
    ::EnumWindows(
        [](HWND window, LPARAM found) -> BOOL {
            reinterpret_cast<std::vector<HWND>*>(found)->push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&windows));
    std::erase_if(windows, [processId](HWND window) {
        DWORD owner = 0;
        ::GetWindowThreadProcessId(window, &owner);
        wchar_t className[16] = {};
        return (processId != 0 && owner != processId) || ::GetClassNameW(window, className, 16) == 0 ||
               std::wstring_view(className) != L"#32770";
    });
    return windows;
}

// The first visible one of them that matches; nullptr when there is none.
HWND FirstVisibleDialog(DWORD processId, const std::function<bool(HWND)>& matches) {
    for (HWND window : Dialogs(processId)) {
        if (::IsWindowVisible(window) && matches(window)) return window;
    }
    return nullptr;
}

// The command-line form of one argument that CommandLineToArgvW splits back into exactly that argument.
std::wstring QuoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) return argument;
    // Backslashes are literal unless they precede a quote; those before a quote (and before the closing
    // quote) are doubled.
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, L'\\');
    return quoted + L'"';
}

}  // namespace

void PrintTo(const MessageBoxRecord& box, std::ostream* out) {
    *out << "{caption \"" << Narrow(box.caption) << "\", text \"" << Narrow(box.text) << "\"}";
}

// ---- Windows of any process ----

std::wstring Text(HWND window) {
    if (window == nullptr) return {};
    DWORD_PTR length = 0;
    if (!::SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kTextTimeoutMilliseconds, &length)) {
        return {};
    }
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!::SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG,
                               kTextTimeoutMilliseconds, &copied)) {
        return {};
    }
    text.resize(std::min<std::size_t>(static_cast<std::size_t>(copied), text.size() - 1));
    return text;
}

std::wstring ItemText(HWND dialog, int id) { return Text(::GetDlgItem(dialog, id)); }

Lines ItemTexts(HWND dialog) {
    Lines texts;
    for (HWND item = ::GetWindow(dialog, GW_CHILD); item != nullptr; item = ::GetWindow(item, GW_HWNDNEXT)) {
        texts.push_back(Text(item));
    }
    return texts;
}

bool ItemEnabled(HWND dialog, int id) {
    const HWND item = ::GetDlgItem(dialog, id);
    return item != nullptr && ::IsWindowEnabled(item);
}

bool Press(HWND dialog, int id) {
    const HWND button = ::GetDlgItem(dialog, id);
    return button != nullptr && Post(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
}

bool SystemCommand(HWND window, WPARAM command) { return Post(window, WM_SYSCOMMAND, command, 0); }

bool Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return ::PostMessageW(window, message, wParam, lParam) != FALSE;
}

HWND FindDialog(DWORD processId, const std::wstring& caption) {
    return FirstVisibleDialog(processId, [&caption](HWND window) { return Text(window) == caption; });
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMilliseconds) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMilliseconds;
    for (;;) {
        if (condition()) return true;
        if (::GetTickCount64() >= deadline) return false;
        ::Sleep(kWaitIntervalMilliseconds);
    }
}

bool WaitForWindowGone(HWND window, DWORD timeoutMilliseconds) {
    return WaitUntil([&] { return !::IsWindow(window); }, timeoutMilliseconds);
}

std::wstring QuoteArguments(const std::vector<std::wstring>& arguments) {
    std::wstring line;
    for (const std::wstring& argument : arguments) line += (line.empty() ? L"" : L" ") + QuoteArgument(argument);
    return line;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int bytes =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), bytes, nullptr,
                          nullptr);
    return narrow;
}

std::string Show(const Lines& lines) {
    std::string shown;
    for (const std::wstring& line : lines) shown += "\n  " + Narrow(line);
    return shown.empty() ? " (none)" : shown;
}

// ---- A process of its own ----

ProcessDriver::ProcessDriver(const LaunchRequest& request, Answering answering) : answering_(answering) {
    commandLine_ = QuoteArgument(request.program);
    if (!request.arguments.empty()) commandLine_ += L" " + QuoteArguments(request.arguments);
    std::wstring mutableCommandLine = commandLine_;
    std::wstring environment = EnvironmentBlock(request.environment);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(request.program.c_str(), mutableCommandLine.data(), nullptr, nullptr, FALSE,
                          CREATE_UNICODE_ENVIRONMENT, environment.empty() ? nullptr : environment.data(),
                          request.workingDirectory.empty() ? nullptr : request.workingDirectory.c_str(), &startup,
                          &started)) {
        launchError_ = ::GetLastError();
        return;
    }
    ::CloseHandle(started.hThread);
    process_.reset(started.hProcess);
    processId_ = started.dwProcessId;
    recorder_ = std::thread([this] { Record(); });
}

ProcessDriver::~ProcessDriver() {
    if (Running()) Terminate();
    StopRecorder();
}

bool ProcessDriver::Running() const { return Started() && ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }

HWND ProcessDriver::WaitForProgressDialog(DWORD timeoutMilliseconds) {
    const HWND found =
        WaitForWindow([this] { return FirstVisibleDialog(processId_, IsProgressDialog); }, timeoutMilliseconds);
    if (found != nullptr) NoteStatusText(found);
    return found;
}

HWND ProcessDriver::WaitForDialog(const std::wstring& caption, DWORD timeoutMilliseconds) {
    const HWND found = WaitForWindow([&] { return FindDialog(processId_, caption); }, timeoutMilliseconds);
    if (found != nullptr) (void)NoteBox(found);
    return found;
}

bool ProcessDriver::WaitForStatusText(HWND dialog, const std::wstring& text, DWORD timeoutMilliseconds) {
    if (!WaitUntil([&] { return ItemText(dialog, IDC_STATUS_TEXT) == text; }, timeoutMilliseconds)) return false;
    NoteStatusText(dialog);
    return true;
}

bool ProcessDriver::NoteBox(HWND window) {
    MessageBoxRecord box{StoredText(window), StoredText(::GetDlgItem(window, texts::kMessageBoxTextId))};
    const std::lock_guard lock(mutex_);
    if (!boxWindows_.insert(window).second) return false;
    boxes_.push_back(std::move(box));
    return true;
}

void ProcessDriver::NoteStatusText(HWND dialog) {
    const std::lock_guard lock(mutex_);
    const std::wstring text = StoredText(::GetDlgItem(dialog, IDC_STATUS_TEXT));
    if (!text.empty()) AppendStatusText(text);
}

void ProcessDriver::AppendStatusText(const std::wstring& text) {
    if (statusTexts_.empty() || statusTexts_.back() != text) statusTexts_.push_back(text);
}

HWND ProcessDriver::WaitForWindow(const std::function<HWND()>& find, DWORD timeoutMilliseconds) {
    HWND found = nullptr;
    WaitUntil([&] { return (found = find()) != nullptr || !Running(); }, timeoutMilliseconds);
    return found;
}

std::optional<DWORD> ProcessDriver::WaitForExit(DWORD timeoutMilliseconds) {
    if (!Started() || ::WaitForSingleObject(process_.get(), timeoutMilliseconds) != WAIT_OBJECT_0) return {};
    StopRecorder();
    DWORD exitCode = 0;
    if (!::GetExitCodeProcess(process_.get(), &exitCode)) return {};
    return exitCode;
}

DWORD ProcessDriver::Terminate() {
    terminated_ = true;
    ::TerminateProcess(process_.get(), kTerminatedExitCode);
    return WaitForExit().value_or(kTerminatedExitCode);
}

void ProcessDriver::StopRecorder() {
    if (!recorder_.joinable()) return;
    ::SetEvent(stop_.get());
    recorder_.join();
}

// Watches the process from a thread of its own until the process ends or the driver stops it.
void ProcessDriver::Record() {
    const HANDLE events[] = {process_.get(), stop_.get()};
    std::set<HWND> seen;
    ULONGLONG lastScan = 0;
    HWND dialog = nullptr;
    ULONGLONG emptySince = 0;
    while (::WaitForMultipleObjects(2, events, FALSE, kRecordIntervalMilliseconds) == WAIT_TIMEOUT) {
        if (dialog == nullptr || ::GetTickCount64() - lastScan >= kWindowScanMilliseconds) {
            lastScan = ::GetTickCount64();
            for (HWND window : Dialogs(processId_)) {
                const bool progress = IsProgressDialog(window);
                if (progress) dialog = window;
                // A dialog turns visible only once its initialisation has set its texts.
                if (!::IsWindowVisible(window) || !seen.insert(window).second) continue;
                const bool answer = answering_ == Answering::OkAndCancel;
                if (progress) {
                    // A dialog in Ready ends without a run; one that is already running (a silent run) refuses
                    // and closes by itself when the run is over.
                    if (answer) Press(window, IDCANCEL);
                    const std::lock_guard lock(mutex_);
                    ++progressDialogs_;
                    continue;
                }
                // As from an OK button, whether the box has one or not.
                if (NoteBox(window) && answer) {
                    Post(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                         reinterpret_cast<LPARAM>(::GetDlgItem(window, IDOK)));
                }
            }
        }
        if (dialog == nullptr) continue;
        const HWND status = ::GetDlgItem(dialog, IDC_STATUS_TEXT);
        if (status == nullptr) continue;  // the dialog is being destroyed
        // Read under the lock, so that a text a wait notes keeps its place among the recorder's.
        const std::lock_guard lock(mutex_);
        const std::wstring text = StoredText(status);
        // A control being destroyed reads as empty for a while (its text goes before its handle), so an empty
        // text counts only once it has lasted with the control still there.
        if (text.empty()) {
            const ULONGLONG now = ::GetTickCount64();
            if (emptySince == 0) emptySince = now;
            if (now - emptySince < kEmptyTextMilliseconds) continue;
        } else {
            emptySince = 0;
        }
        AppendStatusText(text);
    }
}

Lines ProcessDriver::StatusTexts() const {
    const std::lock_guard lock(mutex_);
    return statusTexts_;
}

std::vector<MessageBoxRecord> ProcessDriver::Boxes() const {
    const std::lock_guard lock(mutex_);
    return boxes_;
}

int ProcessDriver::ProgressDialogs() const {
    const std::lock_guard lock(mutex_);
    return progressDialogs_;
}

std::string ProcessDriver::Describe() const {
    std::string description = "[" + Narrow(commandLine_) + "] ";
    if (!Started()) return description + "did not start, error " + std::to_string(launchError_);
    if (terminated_) description += "timed out and was terminated; ";
    DWORD exitCode = 0;
    if (Running()) {
        description += "still running";
    } else if (::GetExitCodeProcess(process_.get(), &exitCode)) {
        description += "exit code " + std::to_string(exitCode);
    }
    const std::vector<MessageBoxRecord> boxes = Boxes();
    description += ", " + std::to_string(ProgressDialogs()) +
                   " progress dialog(s), status texts:" + Show(StatusTexts()) + "\n" + std::to_string(boxes.size()) +
                   " box(es)";
    for (const MessageBoxRecord& box : boxes) description += " {" + Narrow(box.caption) + ": " + Narrow(box.text) + "}";
    return description;
}

// ---- A run that nobody drives ----

ProcessRun RunAndProbe(const LaunchRequest& request, DWORD timeoutMilliseconds) {
    ProcessDriver driver(request, ProcessDriver::Answering::OkAndCancel);
    ProcessRun run;
    run.launchError = driver.LaunchError();
    if (driver.Started()) {
        const std::optional<DWORD> exitCode = driver.WaitForExit(timeoutMilliseconds);
        run.timedOut = !exitCode.has_value();
        run.exitCode = exitCode ? *exitCode : driver.Terminate();
        run.boxes = driver.Boxes();
        run.progressDialogs = driver.ProgressDialogs();
    }
    run.description = driver.Describe();
    return run;
}

}  // namespace corvantile::blackbox
