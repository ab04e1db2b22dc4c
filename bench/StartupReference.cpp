// A GUI program that does nothing but load the system libraries CorvantileUpdater.exe imports: the reference
// against which bench/extract-throughput.sh measures the updater's start-up.
#include <windows.h>

#include <commctrl.h>
#include <objbase.h>
#include <rpc.h>
#include <shellapi.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
    // Never true (the command line is never null): the calls only make the linker import each library.
    if (commandLine == nullptr) {
        ::OpenProcessToken(nullptr, 0, nullptr);
        ::InitCommonControlsEx(nullptr);
        ::CoUninitialize();
        ::UuidCreate(nullptr);
        ::CommandLineToArgvW(nullptr, nullptr);
        ::MessageBeep(0);
    }
    return 0;
}
