#include "tests/blackbox/support/DialogDriver.h"

#include "res/resource.h"
#include "tests/support/SystemTexts.h"

#include <algorithm>
#include <mutex>
#include <set>
#include <thread>

namespace corvantile::blackbox {

namespace {

// How often a wait checks its condition.
constexpr DWORD kWaitIntervalMilliseconds = 10;
// The recorder reads the status line this often: a silent run shows its outcome for a few milliseconds only.
constexpr DWORD kRecordIntervalMilliseconds = 1;
// ... and looks for new top-level windows this often.
constexpr ULONGLONG kWindowScanMilliseconds = 10;
// An empty status line is recorded once it has lasted this long (see Recorder::Run).
constexpr ULONGLONG kEmptyTextMilliseconds = 250;
constexpr DWORD kTerminatedExitCode = 0xDEADDEAD;
using texts::kMessageBoxTextId;

// The dialog-class top-level windows of one process, in z-order.
std::vector<HWND> DialogsOf(DWORD processId) {
    struct Search {
        DWORD processId;
        std::vector<HWND> windows;
    } search{processId, {}};
    ::EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            auto& found = *reinterpret_cast<Search*>(context);
            DWORD owner = 0;
            ::GetWindowThreadProcessId(window, &owner);
            if (owner == found.processId && IsDialogClass(window)) found.windows.push_back(window);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.windows;
}

// The window's text as the system keeps it, without a message to the window's thread: the recorder must
// read while that thread is busy, in the moment between the last status text and the end of the dialog.
std::wstring StoredText(HWND window) {
    if (window == nullptr) return {};
    wchar_t text[512] = {};
    const int length = ::InternalGetWindowText(window, text, 512);
    return std::wstring(text, static_cast<std::size_t>(std::max(length, 0)));
}

bool SameName(std::wstring_view a, std::wstring_view b) {
    return ::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()),
                                  TRUE) == CSTR_EQUAL;
}

// A copy of this process's environment block with the changes applied.
std::wstring EnvironmentBlock(const EnvironmentChanges& changes) {
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
    joined += L'\0';
    return joined;
}

std::string Join(const std::vector<std::wstring>& texts) {
    std::string joined;
    for (const std::wstring& text : texts) joined += (joined.empty() ? "\"" : ", \"") + Narrow(text) + "\"";
    return "[" + joined + "]";
}

}  // namespace

// Watches the process from a thread of its own until the process ends or the driver stops it.
class DialogDriver::Recorder {
public:
    Recorder(HANDLE process, DWORD processId)
        : process_(process), processId_(processId), stop_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          thread_([this] { Run(); }) {}
    ~Recorder() {
        ::SetEvent(stop_);
        thread_.join();
        ::CloseHandle(stop_);
    }

    std::vector<std::wstring> StatusTexts() const {
        const std::lock_guard lock(mutex_);
        return statusTexts_;
    }
    std::vector<MessageBoxRecord> Boxes() const {
        const std::lock_guard lock(mutex_);
        return boxes_;
    }

private:
    void Run() {
        const HANDLE events[] = {process_, stop_};
        ULONGLONG lastScan = 0;
        HWND dialog = nullptr;
        ULONGLONG emptySince = 0;
        while (::WaitForMultipleObjects(2, events, FALSE, kRecordIntervalMilliseconds) == WAIT_TIMEOUT) {
            if (dialog == nullptr || ::GetTickCount64() - lastScan >= kWindowScanMilliseconds) {
                lastScan = ::GetTickCount64();
                for (HWND window : DialogsOf(processId_)) {
                    if (IsProgressDialog(window)) {
                        dialog = window;
                    } else if (::IsWindowVisible(window) && seen_.insert(window).second) {
                        // Visible only once its initialisation has set the texts.
                        MessageBoxRecord box{StoredText(window), StoredText(::GetDlgItem(window, kMessageBoxTextId))};
                        const std::lock_guard lock(mutex_);
                        boxes_.push_back(std::move(box));
                    }
                }
            }
            if (dialog == nullptr) continue;
            const HWND status = ::GetDlgItem(dialog, IDC_STATUS_TEXT);
            if (status == nullptr) continue;  // the dialog is being destroyed
            const std::wstring text = StoredText(status);
            // A control being destroyed reads as empty for a while (its text goes before its handle), so an
            // empty text counts only once it has lasted with the control still there.
            if (text.empty()) {
                const ULONGLONG now = ::GetTickCount64();
                if (emptySince == 0) emptySince = now;
                if (now - emptySince < kEmptyTextMilliseconds) continue;
            } else {
                emptySince = 0;
            }
            const std::lock_guard lock(mutex_);
            if (statusTexts_.empty() || statusTexts_.back() != text) statusTexts_.push_back(text);
        }
    }

    HANDLE process_;
    DWORD processId_;
    HANDLE stop_;
    std::set<HWND> seen_;
    mutable std::mutex mutex_;
    std::vector<std::wstring> statusTexts_;
    std::vector<MessageBoxRecord> boxes_;
    std::thread thread_;  // last: it starts once everything it uses is there
};

DialogDriver::DialogDriver(const LaunchRequest& request, const EnvironmentChanges& environment) {
    commandLine_ = QuoteArgument(request.program);
    for (const std::wstring& argument : request.arguments) commandLine_ += L" " + QuoteArgument(argument);
    std::wstring mutableCommandLine = commandLine_;
    std::wstring block = environment.empty() ? std::wstring() : EnvironmentBlock(environment);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (!::CreateProcessW(request.program.c_str(), mutableCommandLine.data(), nullptr, nullptr, FALSE,
                          CREATE_UNICODE_ENVIRONMENT, block.empty() ? nullptr : block.data(),
                          request.workingDirectory.empty() ? nullptr : request.workingDirectory.c_str(), &startup,
                          &process_)) {
        launchError_ = ::GetLastError();
        return;
    }
    recorder_ = std::make_unique<Recorder>(process_.hProcess, process_.dwProcessId);
}

DialogDriver::~DialogDriver() {
    if (!Started()) return;
    if (Running()) {
        ::TerminateProcess(process_.hProcess, kTerminatedExitCode);
        ::WaitForSingleObject(process_.hProcess, kDriverWaitMilliseconds);
    }
    recorder_.reset();
    ::CloseHandle(process_.hThread);
    ::CloseHandle(process_.hProcess);
}

bool DialogDriver::Running() const {
    return Started() && ::WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT;
}

bool DialogDriver::WaitUntil(const std::function<bool()>& condition, DWORD timeoutMilliseconds) {
    const ULONGLONG deadline = ::GetTickCount64() + timeoutMilliseconds;
    for (;;) {
        if (condition()) return true;
        if (::GetTickCount64() >= deadline) return false;
        ::Sleep(kWaitIntervalMilliseconds);
    }
}

HWND DialogDriver::WaitForProgressDialog(DWORD timeoutMilliseconds) {
    HWND found = nullptr;
    WaitUntil(
        [&] {
            for (HWND window : DialogsOf(process_.dwProcessId)) {
                if (::IsWindowVisible(window) && IsProgressDialog(window)) found = window;
            }
            return found != nullptr || !Running();
        },
        timeoutMilliseconds);
    return found;
}

HWND DialogDriver::WaitForDialog(const std::wstring& caption, DWORD timeoutMilliseconds) {
    HWND found = nullptr;
    WaitUntil(
        [&] {
            for (HWND window : DialogsOf(process_.dwProcessId)) {
                if (::IsWindowVisible(window) && Text(window) == caption) found = window;
            }
            return found != nullptr || !Running();
        },
        timeoutMilliseconds);
    return found;
}

bool DialogDriver::WaitForItemText(HWND dialog, int id, const std::wstring& text, DWORD timeoutMilliseconds) {
    return WaitUntil([&] { return ItemText(dialog, id) == text; }, timeoutMilliseconds);
}

bool DialogDriver::WaitForWindowGone(HWND window, DWORD timeoutMilliseconds) {
    return WaitUntil([&] { return !::IsWindow(window); }, timeoutMilliseconds);
}

std::optional<DWORD> DialogDriver::WaitForExit(DWORD timeoutMilliseconds) {
    if (!Started() || ::WaitForSingleObject(process_.hProcess, timeoutMilliseconds) != WAIT_OBJECT_0) return {};
    DWORD exitCode = 0;
    if (!::GetExitCodeProcess(process_.hProcess, &exitCode)) return {};
    return exitCode;
}

std::vector<std::wstring> DialogDriver::ItemTexts(HWND dialog) {
    std::vector<std::wstring> texts;
    for (HWND item = ::GetWindow(dialog, GW_CHILD); item != nullptr; item = ::GetWindow(item, GW_HWNDNEXT)) {
        texts.push_back(ReadWindowText(item));
    }
    return texts;
}

bool DialogDriver::ItemEnabled(HWND dialog, int id) {
    const HWND item = ::GetDlgItem(dialog, id);
    return item != nullptr && ::IsWindowEnabled(item);
}

bool DialogDriver::Press(HWND dialog, int id) {
    const HWND button = ::GetDlgItem(dialog, id);
    return button != nullptr && Post(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
}

bool DialogDriver::SystemCommand(HWND window, WPARAM command) {
    return Post(window, WM_SYSCOMMAND, command, 0);
}

bool DialogDriver::Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return ::PostMessageW(window, message, wParam, lParam) != FALSE;
}

std::vector<std::wstring> DialogDriver::StatusTexts() const {
    return recorder_ ? recorder_->StatusTexts() : std::vector<std::wstring>{};
}

std::vector<MessageBoxRecord> DialogDriver::Boxes() const {
    return recorder_ ? recorder_->Boxes() : std::vector<MessageBoxRecord>{};
}

std::string DialogDriver::Describe() const {
    std::string description = "[" + Narrow(commandLine_) + "] ";
    if (!Started()) return description + "did not start, error " + std::to_string(launchError_);
    DWORD exitCode = 0;
    if (Running()) {
        description += "still running";
    } else if (::GetExitCodeProcess(process_.hProcess, &exitCode)) {
        description += "exit code " + std::to_string(exitCode);
    }
    description += "; status texts " + Join(StatusTexts()) + "; boxes:";
    const std::vector<MessageBoxRecord> boxes = Boxes();
    if (boxes.empty()) description += " none";
    for (const MessageBoxRecord& box : boxes) description += " {" + Narrow(box.caption) + ": " + Narrow(box.text) + "}";
    return description;
}

}  // namespace corvantile::blackbox
