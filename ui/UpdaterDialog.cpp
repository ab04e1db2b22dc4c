#include "ui/UpdaterDialog.h"

#include "base/FormatBounded.h"
#include "package/Directories.h"
#include "package/VersionResource.h"
#include "res/resource.h"
#include "ui/Notifications.h"
#include "ui/UpdaterThread.h"

#include <commctrl.h>

namespace corvantile {

namespace {

constexpr int kStringChars = 256;
constexpr std::size_t kFormattedChars = 512;

struct StringBuffer {
    wchar_t text[kStringChars];
};

// A string of the table; the empty text when it cannot be loaded.
StringBuffer LoadText(HINSTANCE instance, UINT id) {
    StringBuffer buffer;
    if (::LoadStringW(instance, id, buffer.text, kStringChars) <= 0) buffer.text[0] = L'\0';
    return buffer;
}

DialogState& StateOf(HWND dialog) {
    return *reinterpret_cast<DialogState*>(::GetWindowLongPtrW(dialog, DWLP_USER));
}

// Closing is refused while the update runs: the Installer works on files in the working directory, which
// the end of the dialog would delete, inside a transaction that must end with the worker.
void AllowClosing(HWND dialog, bool allowed) {
    ::EnableWindow(::GetDlgItem(dialog, IDCANCEL), allowed ? TRUE : FALSE);
    ::EnableMenuItem(::GetSystemMenu(dialog, FALSE), SC_CLOSE, MF_BYCOMMAND | (allowed ? MF_ENABLED : MF_GRAYED));
}

void CentreOnOwner(HWND dialog) {
    HWND owner = ::GetParent(dialog);
    if (owner == nullptr) owner = ::GetDesktopWindow();
    RECT ownerRect{};
    RECT dialogRect{};
    ::GetWindowRect(owner, &ownerRect);
    ::GetWindowRect(dialog, &dialogRect);
    // Integer division rounds each half toward zero.
    const LONG x = ownerRect.left + ((ownerRect.right - ownerRect.left) - (dialogRect.right - dialogRect.left)) / 2;
    const LONG y = ownerRect.top + ((ownerRect.bottom - ownerRect.top) - (dialogRect.bottom - dialogRect.top)) / 2;
    ::SetWindowPos(dialog, HWND_TOP, x, y, 0, 0, SWP_NOSIZE);
}

void InitUpdaterDialog(DialogState& state) {
    const HWND dialog = state.window;
    CentreOnOwner(dialog);
    ::AppendMenuW(::GetSystemMenu(dialog, FALSE), MF_STRING, IDM_ABOUT, L"&About");

    const StringBuffer format = LoadText(state.instanceHandle, IDS_INTRO);
    wchar_t intro[kFormattedChars];
    (void)FormatBounded(intro, kFormattedChars, format.text, state.productName.c_str(),
                        state.productVersion.c_str());
    ::SetDlgItemTextW(dialog, IDC_INTRO_TEXT, intro);
    if (state.logNotCreated) {
        ::SetDlgItemTextW(dialog, IDC_STATUS_TEXT, LoadText(state.instanceHandle, IDS_LOG_NOT_CREATED).text);
    }

    if (const HICON icon = ::LoadIconW(state.instanceHandle, MAKEINTRESOURCEW(IDI_UPDATER))) {
        ::SendMessageW(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    }
    // A silent run starts inside the dialog's creation, before the window is shown.
    if (state.unattended) ::SendMessageW(dialog, WM_COMMAND, IDOK, 0);
}

void StartRun(DialogState& state) {
    const HWND dialog = state.window;
    state.phase = DialogPhase::Running;
    AllowClosing(dialog, false);
    ::EnableWindow(::GetDlgItem(dialog, IDOK), FALSE);
    // Neither button may keep the focus: a disabled focused control leaves the keyboard dead, while the
    // dialog itself still takes Alt+Space for the About item.
    ::SetFocus(dialog);
    ::SetDlgItemTextW(dialog, IDC_STATUS_TEXT, LoadText(state.instanceHandle, IDS_APPLYING_UPDATES).text);
    const HWND progress = ::GetDlgItem(dialog, IDC_PROGRESS);
    ::ShowWindow(progress, SW_SHOW);
    ::SendMessageW(progress, PBM_SETMARQUEE, TRUE, 0);
    StartUpdaterThread(state);
}

bool HandleUpdaterCommand(DialogState& state, WORD command) {
    switch (command) {
        case IDOK:
            // Reached by the keyboard too (Enter), so a run already under way or over is not started again.
            if (state.phase == DialogPhase::Ready) StartRun(state);
            return true;
        case IDCANCEL:
            // Esc reaches the dialog even while the button is disabled.
            if (state.phase != DialogPhase::Running) ::DestroyWindow(state.window);
            return true;
        default:
            return false;
    }
}

// "Version " and the ProductVersion of the image's own version resource; the template's "Version" when there
// is none. Resource handles are the module's, never freed.
void ShowImageVersion(HWND about) {
    const auto instance = reinterpret_cast<HINSTANCE>(::GetWindowLongPtrW(about, GWLP_HINSTANCE));
    const HRSRC found = ::FindResourceW(instance, MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
    const HGLOBAL loaded = found != nullptr ? ::LoadResource(instance, found) : nullptr;
    const void* bytes = loaded != nullptr ? ::LockResource(loaded) : nullptr;
    if (bytes == nullptr) return;
    const std::optional<VersionStrings> strings =
        ReadVersionStrings(static_cast<const std::uint8_t*>(bytes), ::SizeofResource(instance, found));
    if (!strings || strings->productVersion.empty()) return;
    const std::wstring text =
        L"Version " + std::wstring(strings->productVersion.begin(), strings->productVersion.end());
    ::SetDlgItemTextW(about, IDC_ABOUT_VERSION, text.c_str());
}

INT_PTR CALLBACK AboutDialogProc(HWND about, UINT message, WPARAM wParam, LPARAM) noexcept {
    switch (message) {
        case WM_INITDIALOG:
            ShowImageVersion(about);
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                ::EndDialog(about, LOWORD(wParam));
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

}  // namespace

void ShowOutcome(DialogState& state, bool succeeded) {
    const HWND dialog = state.window;
    state.phase = DialogPhase::Finished;
    ::SetDlgItemTextW(dialog, IDCANCEL, LoadText(state.instanceHandle, IDS_CLOSE).text);
    ::SetDlgItemTextW(dialog, IDC_STATUS_TEXT,
                      LoadText(state.instanceHandle, succeeded ? IDS_FINISHED : IDS_UPDATE_FAILED).text);
    const HWND progress = ::GetDlgItem(dialog, IDC_PROGRESS);
    ::ShowWindow(progress, SW_HIDE);
    ::SendMessageW(progress, PBM_SETMARQUEE, FALSE, 0);
    AllowClosing(dialog, true);
    ::SendMessageW(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(::GetDlgItem(dialog, IDCANCEL)), TRUE);
    if (state.unattended) ::SendMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
}

INT_PTR CALLBACK UpdaterDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    if (message == WM_INITDIALOG) {
        // The whole pointer: a 32-bit slot would cut a 64-bit address.
        ::SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        DialogState& state = *reinterpret_cast<DialogState*>(lParam);
        state.window = dialog;
        InitUpdaterDialog(state);
        return FALSE;
    }
    // Messages that arrive before WM_INITDIALOG (WM_SETFONT, for one) find no state yet.
    if (::GetWindowLongPtrW(dialog, DWLP_USER) == 0) return FALSE;
    DialogState& state = StateOf(dialog);
    switch (message) {
        case WM_COMMAND:
            return HandleUpdaterCommand(state, LOWORD(wParam)) ? TRUE : FALSE;
        case WM_SYSCOMMAND:
            // Compared as it is: the About item's id is not one of the system's, so no bits are masked.
            if (LOWORD(wParam) == IDM_ABOUT) {
                ::DialogBoxParamW(state.instanceHandle, MAKEINTRESOURCEW(IDD_ABOUT), dialog, AboutDialogProc, 0);
                return TRUE;
            }
            return FALSE;
        case UM_UPDATE_SUCCEEDED:
            ShowOutcome(state, true);
            return TRUE;
        case UM_UPDATE_FAILED:
            ShowOutcome(state, false);
            return TRUE;
        case UM_STATUS_TEXT:
            ::SetDlgItemTextW(dialog, IDC_STATUS_TEXT, reinterpret_cast<const wchar_t*>(wParam));
            return TRUE;
        case WM_DESTROY:
            RemoveDirectoryWithFiles(state.workingDirectory.c_str());
            // The exit code tells the script or tool that started the updater how the run ended.
            ::PostQuitMessage(static_cast<int>(state.exitCode));
            return FALSE;
        default:
            return FALSE;
    }
}

}  // namespace corvantile
