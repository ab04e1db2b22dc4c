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
        case WM_INITDIALOG: ShowImageVersion(about); return TRUE;
        case WM_COMMAND:
            if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
                ::EndDialog(about, LOWORD(wParam));
                return TRUE;
            }
            return FALSE;
        default: return FALSE;
    }
}

}  // namespace

HWND ProgressDialog::Create() {
    return ::CreateDialogParamW(state_.instanceHandle, MAKEINTRESOURCEW(IDD_UPDATER), nullptr, &Procedure,
                                reinterpret_cast<LPARAM>(this));
}

INT_PTR CALLBACK ProgressDialog::Procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) noexcept {
    if (message == WM_INITDIALOG) {
        // The whole pointer: a 32-bit slot would cut a 64-bit address.
        ::SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        auto& self = *reinterpret_cast<ProgressDialog*>(lParam);
        self.window_ = dialog;
        self.state_.window = dialog;
        self.Initialize();
        return FALSE;
    }
    // Messages that arrive before WM_INITDIALOG (WM_SETFONT, for one) find no dialog yet.
    auto* const self = reinterpret_cast<ProgressDialog*>(::GetWindowLongPtrW(dialog, DWLP_USER));
    return self != nullptr ? self->Handle(message, wParam) : FALSE;
}

void ProgressDialog::Initialize() {
    CentreOnOwner(window_);
    ::AppendMenuW(::GetSystemMenu(window_, FALSE), MF_STRING, IDM_ABOUT, L"&About");

    const StringBuffer format = LoadText(state_.instanceHandle, IDS_INTRO);
    wchar_t intro[kFormattedChars];
    (void)FormatBounded(intro, kFormattedChars, format.text, state_.productName.c_str(), state_.productVersion.c_str());
    ::SetDlgItemTextW(window_, IDC_INTRO_TEXT, intro);
    if (state_.logNotCreated) {
        ::SetDlgItemTextW(window_, IDC_STATUS_TEXT, LoadText(state_.instanceHandle, IDS_LOG_NOT_CREATED).text);
    }

    if (const HICON icon = ::LoadIconW(state_.instanceHandle, MAKEINTRESOURCEW(IDI_UPDATER))) {
        ::SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    }
    // An unattended run starts inside the dialog's creation, before the window is shown.
    if (state_.unattended) ::SendMessageW(window_, WM_COMMAND, IDOK, 0);
}

void ProgressDialog::StartRun() {
    phase_ = DialogPhase::Running;
    AllowClosing(window_, false);
    ::EnableWindow(::GetDlgItem(window_, IDOK), FALSE);
    // Neither button may keep the focus: a disabled focused control leaves the keyboard dead, while the
    // dialog itself still takes Alt+Space for the About item.
    ::SetFocus(window_);
    ::SetDlgItemTextW(window_, IDC_STATUS_TEXT, LoadText(state_.instanceHandle, IDS_APPLYING_UPDATES).text);
    const HWND progress = ::GetDlgItem(window_, IDC_PROGRESS);
    ::ShowWindow(progress, SW_SHOW);
    ::SendMessageW(progress, PBM_SETMARQUEE, TRUE, 0);
    if (!StartUpdaterThread(state_)) ShowOutcome(false);
}

bool ProgressDialog::HandleCommand(WORD command) {
    switch (command) {
        case IDOK:
            // Reached by the keyboard too (Enter), so a run already under way or over is not started again.
            if (phase_ == DialogPhase::Ready) StartRun();
            return true;
        case IDCANCEL:
            // Esc reaches the dialog even while the button is disabled.
            if (phase_ != DialogPhase::Running) ::DestroyWindow(window_);
            return true;
        default: return false;
    }
}

void ProgressDialog::ShowOutcome(bool succeeded) {
    phase_ = DialogPhase::Finished;
    ::SetDlgItemTextW(window_, IDCANCEL, LoadText(state_.instanceHandle, IDS_CLOSE).text);
    ::SetDlgItemTextW(window_, IDC_STATUS_TEXT,
                      LoadText(state_.instanceHandle, succeeded ? IDS_FINISHED : IDS_UPDATE_FAILED).text);
    const HWND progress = ::GetDlgItem(window_, IDC_PROGRESS);
    ::ShowWindow(progress, SW_HIDE);
    ::SendMessageW(progress, PBM_SETMARQUEE, FALSE, 0);
    AllowClosing(window_, true);
    ::SendMessageW(window_, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(::GetDlgItem(window_, IDCANCEL)), TRUE);
    if (state_.unattended) ::SendMessageW(window_, WM_COMMAND, IDCANCEL, 0);
}

INT_PTR ProgressDialog::Handle(UINT message, WPARAM wParam) {
    switch (message) {
        case WM_COMMAND: return HandleCommand(LOWORD(wParam)) ? TRUE : FALSE;
        case WM_SYSCOMMAND:
            // Compared as it is: the About item's id is not one of the system's, so no bits are masked.
            if (LOWORD(wParam) == IDM_ABOUT) {
                ::DialogBoxParamW(state_.instanceHandle, MAKEINTRESOURCEW(IDD_ABOUT), window_, AboutDialogProc, 0);
                return TRUE;
            }
            return FALSE;
        case UM_UPDATE_SUCCEEDED: ShowOutcome(true); return TRUE;
        case UM_UPDATE_FAILED: ShowOutcome(false); return TRUE;
        case UM_STATUS_TEXT:
            ::SetDlgItemTextW(window_, IDC_STATUS_TEXT, reinterpret_cast<const wchar_t*>(wParam));
            return TRUE;
        case WM_DESTROY:
            RemoveDirectoryWithFiles(state_.workingDirectory.c_str());
            // The exit code tells the script or tool that started the updater how the run ended.
            ::PostQuitMessage(static_cast<int>(state_.exitCode));
            return FALSE;
        default: return FALSE;
    }
}

}  // namespace corvantile
