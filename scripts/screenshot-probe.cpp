// A small console program for scripts/screenshots.sh: finds a top-level dialog of another process by its
// caption, waits for the texts the script expects, presses buttons and opens system-menu items, and prints
// the dialog's place on the screen so that the script can crop its screenshot to it.
//
//   screenshot-probe wait CAPTION                   waits until the dialog is visible; prints WxH+X+Y
//   screenshot-probe wait-text CAPTION ID PREFIX    waits until control ID's text begins with PREFIX; prints it
//   screenshot-probe press CAPTION ID               posts WM_COMMAND/BN_CLICKED for control ID
//   screenshot-probe syscommand CAPTION COMMAND     posts WM_SYSCOMMAND with COMMAND
//   screenshot-probe wait-gone CAPTION              waits until no such dialog is visible
//
// Every wait gives up after 60 s (exit code 2); a dialog or control that does not exist gives exit code 1.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr DWORD kWaitMilliseconds = 60'000;
constexpr DWORD kPollMilliseconds = 20;

std::wstring TextOf(HWND window) {
    wchar_t text[512] = {};
    DWORD_PTR copied = 0;
    if (::SendMessageTimeoutW(window, WM_GETTEXT, std::size(text), reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                              2000, &copied) == 0) {
        return {};
    }
    return text;
}

struct Search {
    const wchar_t* caption;
    HWND found;
};

BOOL CALLBACK MatchDialog(HWND window, LPARAM context) {
    auto& search = *reinterpret_cast<Search*>(context);
    wchar_t className[16] = {};
    ::GetClassNameW(window, className, static_cast<int>(std::size(className)));
    if (std::wstring(className) != L"#32770" || !::IsWindowVisible(window)) return TRUE;
    if (TextOf(window) != search.caption) return TRUE;
    search.found = window;
    return FALSE;
}

HWND FindDialog(const wchar_t* caption) {
    Search search{caption, nullptr};
    ::EnumWindows(MatchDialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Polls the condition until it holds or the wait is over.
template <typename Condition>
bool WaitFor(Condition condition) {
    const ULONGLONG end = ::GetTickCount64() + kWaitMilliseconds;
    while (!condition()) {
        if (::GetTickCount64() >= end) return false;
        ::Sleep(kPollMilliseconds);
    }
    return true;
}

int Usage() {
    std::fputs("usage: screenshot-probe wait|wait-text|press|syscommand|wait-gone CAPTION [ARGS...]\n", stderr);
    return 64;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) return Usage();
    const std::wstring command = argv[1];
    const wchar_t* caption = argv[2];

    if (command == L"wait-gone") {
        if (!WaitFor([&] { return FindDialog(caption) == nullptr; })) return 2;
        return 0;
    }

    HWND dialog = nullptr;
    if (!WaitFor([&] { return (dialog = FindDialog(caption)) != nullptr; })) {
        std::fprintf(stderr, "no visible dialog '%ls'\n", caption);
        return 2;
    }

    if (command == L"wait" && argc == 3) {
        RECT rect{};
        ::GetWindowRect(dialog, &rect);
        std::printf("%ldx%ld+%ld+%ld\n", rect.right - rect.left, rect.bottom - rect.top, rect.left, rect.top);
        return 0;
    }
    if (command == L"wait-text" && argc == 5) {
        const HWND control = ::GetDlgItem(dialog, std::wcstol(argv[3], nullptr, 10));
        if (control == nullptr) return 1;
        const std::wstring prefix = argv[4];
        std::wstring text;
        if (!WaitFor([&] { return (text = TextOf(control)).compare(0, prefix.size(), prefix) == 0; })) {
            std::fprintf(stderr, "the text stayed '%ls'\n", text.c_str());
            return 2;
        }
        std::printf("%ls\n", text.c_str());
        return 0;
    }
    if (command == L"press" && argc == 4) {
        const int id = static_cast<int>(std::wcstol(argv[3], nullptr, 10));
        const HWND button = ::GetDlgItem(dialog, id);
        if (button == nullptr) return 1;
        const WPARAM clicked = MAKEWPARAM(id, BN_CLICKED);
        return ::PostMessageW(dialog, WM_COMMAND, clicked, reinterpret_cast<LPARAM>(button)) ? 0 : 1;
    }
    if (command == L"syscommand" && argc == 4) {
        return ::PostMessageW(dialog, WM_SYSCOMMAND, std::wcstoul(argv[3], nullptr, 10), 0) ? 0 : 1;
    }
    return Usage();
}
