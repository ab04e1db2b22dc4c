#include "tests/blackbox/support/ProcessProbe.h"

#include "base/UniqueHandles.h"
#include "res/resource.h"
#include "tests/support/SystemTexts.h"

#include <algorithm>
#include <set>
#include <thread>

namespace corvantile::blackbox {

namespace {

// How often the probe looks for new windows while the process runs.
constexpr DWORD kProbeIntervalMilliseconds = 10;
// How long one WM_GETTEXT may take before the window counts as hung.
constexpr UINT kTextTimeoutMilliseconds = 2'000;
using texts::kMessageBoxTextId;
constexpr DWORD kTerminatedExitCode = 0xDEADDEAD;

struct WindowSearch {
    DWORD processId;
    std::vector<HWND> boxes;
};

BOOL CALLBACK CollectBoxes(HWND window, LPARAM context) {
    auto& search = *reinterpret_cast<WindowSearch*>(context);
    DWORD owner = 0;
    ::GetWindowThreadProcessId(window, &owner);
    // A dialog turns visible only after its initialisation has set its texts.
    if (owner == search.processId && ::IsWindowVisible(window) && IsDialogClass(window)) {
        search.boxes.push_back(window);
    }
    return TRUE;
}

// Records and dismisses the boxes of one process until the process ends or `stop` is set.
class BoxProbe {
public:
    BoxProbe(HANDLE process, DWORD processId, HANDLE stop) : process_(process), processId_(processId), stop_(stop) {}

    void Run() {
        const HANDLE events[] = {process_, stop_};
        while (::WaitForMultipleObjects(2, events, FALSE, kProbeIntervalMilliseconds) == WAIT_TIMEOUT) {
            WindowSearch search{processId_, {}};
            ::EnumWindows(CollectBoxes, reinterpret_cast<LPARAM>(&search));
            for (HWND box : search.boxes) {
                if (!handled_.insert(box).second) continue;
                // The progress dialog is asked to close: a dialog in Ready ends without a run, one that is
                // already running (a silent run) refuses and closes by itself when the run is over.
                if (IsProgressDialog(box)) {
                    ++progressDialogs_;
                    ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                                   reinterpret_cast<LPARAM>(::GetDlgItem(box, IDCANCEL)));
                    continue;
                }
                records_.push_back({ReadWindowText(box), ReadWindowText(::GetDlgItem(box, kMessageBoxTextId))});
                ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                               reinterpret_cast<LPARAM>(::GetDlgItem(box, IDOK)));
            }
        }
    }

    [[nodiscard]] std::vector<MessageBoxRecord> TakeRecords() { return std::move(records_); }
    [[nodiscard]] int ProgressDialogs() const { return progressDialogs_; }

private:
    HANDLE process_;
    DWORD processId_;
    HANDLE stop_;
    std::set<HWND> handled_;
    std::vector<MessageBoxRecord> records_;
    int progressDialogs_ = 0;
};

}  // namespace

bool IsProgressDialog(HWND window) {
    // Controls that only the updater's progress dialog has: its status line and its progress bar.
    return ::GetDlgItem(window, IDC_STATUS_TEXT) != nullptr && ::GetDlgItem(window, IDC_PROGRESS) != nullptr;
}

std::wstring ReadWindowText(HWND window) {
    if (window == nullptr) return {};
    DWORD_PTR length = 0;
    if (!::SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kTextTimeoutMilliseconds, &length)) {
        return {};
    }
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!::SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                               SMTO_ABORTIFHUNG, kTextTimeoutMilliseconds, &copied)) {
        return {};
    }
    text.resize(std::min<std::size_t>(static_cast<std::size_t>(copied), text.size() - 1));
    return text;
}

bool IsDialogClass(HWND window) {
    wchar_t className[64] = {};
    return ::GetClassNameW(window, className, 64) > 0 && std::wstring_view(className) == L"#32770";
}

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
        if (c == L'"') {
            quoted.append(2 * backslashes + 1, L'\\');
        } else {
            quoted.append(backslashes, L'\\');
        }
        backslashes = 0;
        quoted += c;
    }
    quoted.append(2 * backslashes, L'\\');
    quoted += L'"';
    return quoted;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                            nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), bytes, nullptr,
                          nullptr);
    return narrow;
}

std::string ProcessRun::Describe() const {
    std::string description = "[" + Narrow(commandLine) + "] ";
    if (launchError != 0) return description + "did not start, error " + std::to_string(launchError);
    if (timedOut) description += "timed out and was terminated; ";
    description += "exit code " + std::to_string(exitCode) + ", " + std::to_string(boxes.size()) + " box(es)";
    for (const MessageBoxRecord& box : boxes) {
        description += " {" + Narrow(box.caption) + ": " + Narrow(box.text) + "}";
    }
    return description;
}

ProcessRun RunAndProbe(const LaunchRequest& request) {
    ProcessRun run;
    run.commandLine = QuoteArgument(request.program);
    for (const std::wstring& argument : request.arguments) run.commandLine += L" " + QuoteArgument(argument);

    std::wstring mutableCommandLine = run.commandLine;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started{};
    if (!::CreateProcessW(request.program.c_str(), mutableCommandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          request.workingDirectory.empty() ? nullptr : request.workingDirectory.c_str(), &startup,
                          &started)) {
        run.launchError = ::GetLastError();
        return run;
    }
    const UniqueHandle process(started.hProcess);
    const UniqueHandle thread(started.hThread);

    const UniqueHandle stop(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    BoxProbe probe(process.get(), started.dwProcessId, stop.get());
    std::thread probeThread([&probe] { probe.Run(); });

    if (::WaitForSingleObject(process.get(), request.timeoutMilliseconds) != WAIT_OBJECT_0) {
        run.timedOut = true;
        ::TerminateProcess(process.get(), kTerminatedExitCode);
        ::WaitForSingleObject(process.get(), request.timeoutMilliseconds);
    }
    ::SetEvent(stop.get());
    probeThread.join();

    run.boxes = probe.TakeRecords();
    run.progressDialogs = probe.ProgressDialogs();
    if (!::GetExitCodeProcess(process.get(), &run.exitCode)) run.exitCode = kTerminatedExitCode;
    return run;
}

}  // namespace corvantile::blackbox
