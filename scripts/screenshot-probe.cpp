// A small console program for scripts/screenshots.sh: finds a top-level dialog of another process by its
// caption, waits for the texts the script expects, presses buttons and opens system-menu items, and prints
// the dialog's place on the screen so that the script can crop its screenshot to it.
//
//   screenshot-probe wait CAPTION                   waits until the dialog is visible; prints WxH+X+Y
//   screenshot-probe wait-text CAPTION ID PREFIX    waits until control ID's text begins with PREFIX; prints it
//   screenshot-probe press CAPTION ID               posts WM_COMMAND/BN_CLICKED for control ID
//   screenshot-probe syscommand CAPTION COMMAND     posts WM_SYSCOMMAND with COMMAND
//   screenshot-probe wait-gone CAPTION              waits until no such dialog is visible
//   screenshot-probe layout CAPTION                 prints the DPI and each control's place and text size;
//                                                   exit code 3 when a control lies outside the client area
//                                                   or a text does not fit its control
//
// Every wait gives up after 60 s (exit code 2); a dialog or control that does not exist gives exit code 1.
// It finds, reads and presses windows with the black-box tests' driver.
#include "tests/blackbox/support/ProcessDriver.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

using namespace corvantile::blackbox;

// What the dialog's template says about its size and font.
struct DialogTemplate {
    bool found = false;
    short widthUnits = 0;
    short heightUnits = 0;
    WORD points = 0;
    WORD weight = 0;
    BYTE italic = 0;
    BYTE charset = 0;
    std::wstring face;
};

// Skips a sz_Or_Ord field of a dialog template: nothing (0), an ordinal (0xFFFF, then one WORD) or a string.
const WORD* SkipNameOrOrdinal(const WORD* field) {
    if (*field == 0xFFFF) return field + 2;
    while (*field != 0) ++field;
    return field + 1;
}

struct TemplateSearch {
    const wchar_t* caption;
    DialogTemplate result;
};

// Reads one extended dialog template (DLGTEMPLATEEX) with a font; keeps it when its title is the caption.
BOOL CALLBACK MatchTemplate(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR context) {
    auto& search = *reinterpret_cast<TemplateSearch*>(context);
    const HRSRC resource = ::FindResourceW(module, name, type);
    const auto* words = resource ? static_cast<const WORD*>(::LockResource(::LoadResource(module, resource))) : nullptr;
    if (words == nullptr || words[0] != 1 || words[1] != 0xFFFF) return TRUE;
    DWORD style = 0;
    std::memcpy(&style, words + 6, sizeof style);
    if ((style & DS_SETFONT) == 0) return TRUE;
    DialogTemplate found;
    found.widthUnits = static_cast<short>(words[11]);
    found.heightUnits = static_cast<short>(words[12]);
    const WORD* field = SkipNameOrOrdinal(SkipNameOrOrdinal(words + 13));  // menu, window class
    const auto* title = reinterpret_cast<const wchar_t*>(field);
    if (std::wstring(title) != search.caption) return TRUE;
    field += std::wcslen(title) + 1;
    found.points = field[0];
    found.weight = field[1];
    found.italic = LOBYTE(field[2]);
    found.charset = HIBYTE(field[2]);
    found.face = reinterpret_cast<const wchar_t*>(field + 3);
    found.found = true;
    search.result = found;
    return FALSE;
}

// The template of the dialog, from the resources of the program that shows it.
DialogTemplate TemplateOf(HWND dialog, const wchar_t* caption) {
    DWORD processId = 0;
    ::GetWindowThreadProcessId(dialog, &processId);
    const corvantile::UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    wchar_t path[MAX_PATH] = {};
    DWORD length = MAX_PATH;
    if (!process || !::QueryFullProcessImageNameW(process.get(), 0, path, &length)) return {};
    const HMODULE image = ::LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (image == nullptr) return {};
    TemplateSearch search{caption, {}};
    ::EnumResourceNamesW(image, RT_DIALOG, MatchTemplate, reinterpret_cast<LONG_PTR>(&search));
    ::FreeLibrary(image);
    return search.result;
}

RECT ClientRectIn(HWND control, HWND dialog) {
    RECT rect{};
    ::GetWindowRect(control, &rect);
    ::MapWindowPoints(HWND_DESKTOP, dialog, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

// Checks the dialog as the screen shows it: every control inside the client area, and every visible text of
// a static control or button within its control, measured with the font the dialog manager makes from the
// template at the screen's DPI. The font is checked first: the dialog's client area must have the template's
// size in the dialog units of that font, or the measurements would mean nothing.
int CheckLayout(HWND dialog, const wchar_t* caption) {
    const DialogTemplate dialogTemplate = TemplateOf(dialog, caption);
    if (!dialogTemplate.found) {
        std::fprintf(stderr, "no dialog template with a font has the caption '%ls'\n", caption);
        return 1;
    }
    const HDC screen = ::GetDC(nullptr);
    const int dpi = ::GetDeviceCaps(screen, LOGPIXELSY);
    const HFONT font = ::CreateFontW(-::MulDiv(dialogTemplate.points, dpi, 72), 0, 0, 0, dialogTemplate.weight,
                                     dialogTemplate.italic, FALSE, FALSE, dialogTemplate.charset, OUT_DEFAULT_PRECIS,
                                     CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FF_DONTCARE, dialogTemplate.face.c_str());
    const HGDIOBJ previous = ::SelectObject(screen, font);
    TEXTMETRICW metrics{};
    ::GetTextMetricsW(screen, &metrics);
    SIZE letters{};
    ::GetTextExtentPoint32W(screen, L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", 52, &letters);
    const int baseX = (letters.cx / 26 + 1) / 2;
    const int baseY = metrics.tmHeight;
    RECT client{};
    ::GetClientRect(dialog, &client);
    std::printf("dpi %d, font %d pt '%ls' %ld px high, base units %dx%d, client area %ldx%ld\n", dpi,
                dialogTemplate.points, dialogTemplate.face.c_str(), metrics.tmHeight, baseX, baseY, client.right,
                client.bottom);
    int faults = 0;
    if (client.right != ::MulDiv(dialogTemplate.widthUnits, baseX, 4) ||
        client.bottom != ::MulDiv(dialogTemplate.heightUnits, baseY, 8)) {
        std::printf("FONT: the template's %dx%d dialog units would be %dx%d px with this font\n",
                    dialogTemplate.widthUnits, dialogTemplate.heightUnits,
                    ::MulDiv(dialogTemplate.widthUnits, baseX, 4), ::MulDiv(dialogTemplate.heightUnits, baseY, 8));
        ++faults;
    }

    std::vector<HWND> controls;
    for (HWND child = ::GetWindow(dialog, GW_CHILD); child != nullptr; child = ::GetWindow(child, GW_HWNDNEXT)) {
        controls.push_back(child);
    }
    const int edgeX = ::GetSystemMetrics(SM_CXEDGE);
    const int edgeY = ::GetSystemMetrics(SM_CYEDGE);
    for (const HWND control : controls) {
        wchar_t className[32] = {};
        ::GetClassNameW(control, className, static_cast<int>(std::size(className)));
        const std::wstring kind = className;
        const RECT place = ClientRectIn(control, dialog);
        const bool visible = ::IsWindowVisible(control) != FALSE;
        std::printf("%d %ls (%ld,%ld)-(%ld,%ld)%s", ::GetDlgCtrlID(control), className, place.left, place.top,
                    place.right, place.bottom, visible ? "" : " hidden");
        if (place.left < 0 || place.top < 0 || place.right > client.right || place.bottom > client.bottom) {
            std::printf(" OUTSIDE the client area");
            ++faults;
        }
        const std::wstring text = Text(control);
        const LONG style = ::GetWindowLongW(control, GWL_STYLE);
        const bool isStatic = _wcsicmp(className, L"Static") == 0;
        const bool isButton = _wcsicmp(className, L"Button") == 0;
        if (visible && !text.empty() && (isStatic || isButton)) {
            RECT room{};
            ::GetClientRect(control, &room);
            UINT format = DT_CALCRECT | DT_EXPANDTABS;
            if (isStatic) {
                // How a left, centred or right static text draws: wrapped at word breaks.
                format |= DT_WORDBREAK | ((style & SS_NOPREFIX) ? DT_NOPREFIX : 0);
            } else {
                // A push button's text stays on one line inside its 3D border and focus rectangle.
                format |= DT_SINGLELINE;
                ::InflateRect(&room, -(edgeX + 1), -(edgeY + 1));
            }
            RECT needed{0, 0, room.right - room.left, 0};
            ::DrawTextW(screen, text.c_str(), -1, &needed, format);
            std::printf(": text needs %ldx%ld of %ldx%ld", needed.right, needed.bottom, room.right - room.left,
                        room.bottom - room.top);
            if (needed.right > room.right - room.left || needed.bottom > room.bottom - room.top) {
                std::printf(" CUT '%ls'", text.c_str());
                ++faults;
            }
        }
        std::printf("\n");
    }
    ::SelectObject(screen, previous);
    ::DeleteObject(font);
    ::ReleaseDC(nullptr, screen);
    return faults == 0 ? 0 : 3;
}

int Usage() {
    std::fputs("usage: screenshot-probe wait|wait-text|press|syscommand|wait-gone|layout CAPTION [ARGS...]\n", stderr);
    return 64;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // Measures in the screen's pixels whatever DPI the dialog's program is aware of.
    ::SetProcessDPIAware();
    if (argc < 3) return Usage();
    const std::wstring command = argv[1];
    const wchar_t* caption = argv[2];

    // Windows of any process: the probe did not start the program it drives.
    if (command == L"wait-gone") return WaitUntil([&] { return FindDialog(0, caption) == nullptr; }) ? 0 : 2;

    HWND dialog = nullptr;
    if (!WaitUntil([&] { return (dialog = FindDialog(0, caption)) != nullptr; })) {
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
        if (!WaitUntil([&] { return (text = Text(control)).compare(0, prefix.size(), prefix) == 0; })) {
            std::fprintf(stderr, "the text stayed '%ls'\n", text.c_str());
            return 2;
        }
        std::printf("%ls\n", text.c_str());
        return 0;
    }
    if (command == L"press" && argc == 4) {
        return Press(dialog, static_cast<int>(std::wcstol(argv[3], nullptr, 10))) ? 0 : 1;
    }
    if (command == L"layout" && argc == 3) {
        return CheckLayout(dialog, caption);
    }
    if (command == L"syscommand" && argc == 4) {
        return SystemCommand(dialog, std::wcstoul(argv[3], nullptr, 10)) ? 0 : 1;
    }
    return Usage();
}
