#include "engine/Restart.h"

#include "base/Log.h"

namespace corvantile {

namespace {

constexpr wchar_t kRestartQuestion[] =
    L"Product updates successfully applied, but a reboot is required. Would you like to reboot now?";
constexpr wchar_t kRestartCaption[] = L"Corvantile Updater - Reboot Required";

// True when Windows accepted the restart.
bool RequestRestart(const InstallerApi& installer) {
    {  // the token is closed before the restart is asked for
        UniqueTokenHandle token(installer);
        if (installer.openProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, token.put())) {
            TOKEN_PRIVILEGES privileges{};
            privileges.PrivilegeCount = 1;
            if (installer.lookupPrivilegeValue(nullptr, SE_SHUTDOWN_NAME, &privileges.Privileges[0].Luid)) {
                privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
                // Without the privilege Windows refuses the restart, which is all that can be done about it.
                installer.adjustTokenPrivileges(token.get(), FALSE, &privileges, 0, nullptr, nullptr);
            }
        }
    }
    return installer.exitWindows(EWX_REBOOT, SHTDN_REASON_FLAG_PLANNED | SHTDN_REASON_MAJOR_APPLICATION |
                                                 SHTDN_REASON_MINOR_MAINTENANCE) != FALSE;
}

// Deployment tools start silent runs as services, where a box would wait forever for an answer. When the
// window station cannot be asked, the question is kept, as on any interactive desktop.
bool UserCanAnswer(const InstallerApi& installer) {
    USEROBJECTFLAGS flags{};
    DWORD neededBytes = 0;
    if (!installer.getUserObjectInformation(installer.getProcessWindowStation(), UOI_FLAGS, &flags, sizeof(flags),
                                            &neededBytes)) {
        return true;
    }
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

}  // namespace

RestartOutcome OfferRestart(const InstallerApi& installer, HWND ownerWindow) {
    if (!UserCanAnswer(installer)) return RestartOutcome::Pending;
    if (installer.messageBox(ownerWindow, kRestartQuestion, kRestartCaption, MB_YESNO) != IDYES) {
        return RestartOutcome::Pending;
    }
    if (RequestRestart(installer)) return RestartOutcome::Initiated;
    WriteLog(L"Requesting the reboot failed.");
    return RestartOutcome::Pending;
}

}  // namespace corvantile
