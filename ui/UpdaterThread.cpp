#include "ui/UpdaterThread.h"

#include "base/Log.h"
#include "base/UniqueHandles.h"
#include "engine/ApplyUpdates.h"
#include "engine/InstallerResult.h"
#include "ui/Notifications.h"

#include <objbase.h>
#include <process.h>
#include <rpc.h>
#include <sddl.h>

#include <vector>

namespace corvantile {

namespace {

// A new GUID's text form: 36 characters, no braces. Empty when there is no GUID or no text.
std::wstring NewGuidText(const WorkingDirectoryCalls& calls) {
    GUID guid{};
    if (FAILED(calls.createGuid(&guid))) return {};
    UniqueRpcString text;
    if (calls.uuidToString(&guid, text.put()) != RPC_S_OK || !text) return {};
    return std::wstring(reinterpret_cast<const wchar_t*>(text.get()));
}

// The dialog's status line, shown by the dialog's own thread before the send returns.
class DialogStatusLine final : public StatusLine {
public:
    explicit DialogStatusLine(HWND dialog) noexcept : dialog_(dialog) {}
    void Show(const wchar_t* text) override {
        ::SendMessageW(dialog_, UM_STATUS_TEXT, reinterpret_cast<WPARAM>(text), 0);
    }

private:
    HWND dialog_;
};

unsigned __stdcall UpdaterThreadProc(void* argument) {
    DialogState& state = *static_cast<DialogState*>(argument);
    // The worker never touches a control: it only sends notifications, and waits until each is handled.
    const std::wstring directory = MakeWorkingDirectory(state.workingDirectoryCalls);
    if (directory.empty()) {
        state.exitCode = UpdateExitCode(1, UpdateOutcome{});
        ::SendMessageW(state.window, UM_UPDATE_FAILED, 0, 0);
        return 1;
    }
    // Recorded only once made by this run: the dialog deletes what it names when it closes.
    state.workingDirectory = directory;
    DialogStatusLine statusLine(state.window);
    UpdateOutcome outcome;
    const int result = ApplyUpdates(state.engine, directory.c_str(), state.window, &statusLine, outcome);
    state.exitCode = UpdateExitCode(result, outcome);
    ::SendMessageW(state.window, result == 0 ? UM_UPDATE_SUCCEEDED : UM_UPDATE_FAILED, 0, 0);
    return 0;
}

}  // namespace

std::wstring TemporaryPath(decltype(&::GetTempPathW) getTempPath) {
    std::vector<wchar_t> buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = getTempPath(static_cast<DWORD>(buffer.size()), buffer.data());
        if (length == 0) return {};
        // A path that did not fit comes back as the size it needs, with the buffer left unfilled.
        if (length < buffer.size()) return std::wstring(buffer.data(), length);
        buffer.assign(std::size_t{length} + 1, L'\0');
    }
}

std::wstring MakeWorkingDirectory(const WorkingDirectoryCalls& calls) {
    const std::wstring temporaryPath = TemporaryPath(calls.getTempPath);
    if (temporaryPath.empty()) return {};
    const std::wstring guidText = NewGuidText(calls);
    if (guidText.empty()) return {};
    const std::wstring path = temporaryPath + guidText;
    return CreateWorkingDirectory(path, calls.createDirectory) ? path : std::wstring();
}

bool CreateWorkingDirectory(const std::wstring& path, decltype(&::CreateDirectoryW) createDirectory) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(kWorkingDirectorySecurity, SDDL_REVISION_1, &descriptor,
                                                                nullptr)) {
        return false;
    }
    const UniqueResource<LocalMemoryCloser<PSECURITY_DESCRIPTOR>> descriptorOwner(descriptor);
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
    return createDirectory(path.c_str(), &attributes) != FALSE;
}

bool StartUpdaterThread(DialogState& state) {
    const std::uintptr_t thread = state.beginThread(nullptr, 0, &UpdaterThreadProc, &state, 0, nullptr);
    if (thread == 0) {
        WriteLog(L"Updater thread creation failed.");
        state.exitCode = UpdateExitCode(1, UpdateOutcome{});
        return false;
    }
    // Closed at once: the worker is never waited for or joined; its outcome arrives as a notification.
    const UniqueHandle threadHandle(reinterpret_cast<HANDLE>(thread));
    return true;
}

}  // namespace corvantile
