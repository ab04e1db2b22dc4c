// The updater's entry point: reads the command line, opens the log, finds the package behind its own image
// and reads its header, then runs the chosen mode.
#include "app/CommandLine.h"
#include "app/RunSettings.h"
#include "base/Log.h"
#include "base/ModulePath.h"
#include "base/UniqueHandles.h"
#include "package/Extraction.h"
#include "package/PackageFile.h"
#include "res/resource.h"
#include "ui/DialogState.h"
#include "ui/UpdaterDialog.h"

#include <windows.h>

#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>

namespace corvantile {
namespace {

constexpr wchar_t kCaption[] = L"Corvantile Updater";
constexpr wchar_t kUsage[] =
    L"Usage: CorvantileUpdater [[-x [outdir]]|[-a]] [-l [logdir]]\n"
    L"       -x: extract update files\n"
    L"       -a: no interaction mode\n"
    L"       -l: enable logging\n";

RunSettings settings;

void ReadCommandLine() {
    int argumentCount = 0;
    const UniqueArgv arguments(::CommandLineToArgvW(::GetCommandLineW(), &argumentCount));
    // A command line that cannot be split is rejected like any other.
    if (!arguments) {
        settings.runMode = RunMode::Invalid;
        return;
    }
    ParseCommandLine(argumentCount, arguments.get(), settings, GetModulePath);
}

// An unattended run has nobody at the screen: what a box would say goes to the log (when there is one) instead.
void Report(const wchar_t* text) {
    if (settings.unattended) {
        WriteLog(text);
    } else {
        ::MessageBoxW(nullptr, text, kCaption, MB_OK);
    }
}

void ReportPackageError() {
    constexpr int kStringChars = 256;
    wchar_t text[kStringChars];
    if (::LoadStringW(settings.instanceHandle, IDS_PACKAGE_ERROR, text, kStringChars) <= 0) text[0] = L'\0';
    Report(text);
}

// A refused command line shows the usage; unattended, it logs one line when an -l before the refused argument
// named a log.
void ReportRefusedCommandLine() {
    if (settings.unattended) {
        if (!settings.logDirectory.empty() && OpenLog(settings.logDirectory)) {
            WriteLog(L"Command line not accepted.");
        }
        return;
    }
    ::MessageBoxW(nullptr, kUsage, kCaption, MB_OK);
}

bool OpenOwnFile() {
    const std::optional<std::wstring> path = GetModulePath();
    return path && settings.packageFile.Open(ExtendedLengthPath(*path), RunningImageLayout());
}

// Dispatches until the quit message, whose code is the exit code; a failing GetMessageW ends with 1.
int RunMessageLoop(const DialogState& state) {
    MSG message;
    for (;;) {
        const BOOL result = ::GetMessageW(&message, nullptr, 0, 0);
        if (result == 0) return static_cast<int>(message.wParam);
        if (result == -1) return 1;
        // Once the dialog is gone its handle is stale, and what is left is dispatched as usual.
        if (::IsWindow(state.window) && ::IsDialogMessageW(state.window, &message)) continue;
        ::TranslateMessage(&message);
        ::DispatchMessageW(&message);
    }
}

// The interactive and silent runs: the progress dialog and its message loop.
int RunDialog(int showCommand, bool logNotCreated) {
    const ComInitialization com(COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    const INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES | ICC_LISTVIEW_CLASSES};
    (void)::InitCommonControlsEx(&controls);

    DialogState state;
    state.instanceHandle = settings.instanceHandle;
    state.unattended = settings.runMode == RunMode::Silent;
    state.productName = settings.productName;
    state.productVersion = settings.productVersion;
    state.logNotCreated = logNotCreated;
    state.engine.packageFile = &settings.packageFile;
    state.engine.logDirectory = settings.logDirectory;
    state.engine.stringModule = settings.instanceHandle;
    state.engine.statusFormatId = IDS_INSTALLING_UPDATE;
    ProgressDialog dialog(state);
    if (dialog.Create() == nullptr) return 1;
    ::ShowWindow(state.window, showCommand);
    return RunMessageLoop(state);
}

int Run(HINSTANCE instance, int showCommand) {
    settings.instanceHandle = instance;
    ::HeapSetInformation(nullptr, HeapEnableTerminationOnCorruption, nullptr, 0);
    ReadCommandLine();
    if (settings.runMode == RunMode::Invalid) {
        ReportRefusedCommandLine();
        return 1;
    }
    const bool logNotCreated = !settings.logDirectory.empty() && !OpenLog(settings.logDirectory);
    // A log that was asked for and cannot be written would leave an unattended run without any trace: it ends
    // with the Installer's own code for that, before the package is read or anything is changed.
    if (logNotCreated && settings.unattended) return ERROR_INSTALL_LOG_FAILURE;

    if (!OpenOwnFile() || !settings.packageFile.HasPackage()) {
        ReportPackageError();
        return 1;
    }
    switch (settings.packageFile.ReadPackageHeader(settings.productName, settings.productVersion)) {
        case HeaderOutcome::ProductNameNotReadable: WriteLog(L"Failed to read product name."); return 1;
        case HeaderOutcome::VersionNotReadable: WriteLog(L"Failed to read product version."); return 1;
        case HeaderOutcome::Read: break;
    }
    if (settings.runMode == RunMode::Extract) {
        return ExtractUpdateFiles(settings.packageFile, settings.outputDirectory, nullptr);
    }
    return RunDialog(showCommand, logNotCreated);
}

}  // namespace
}  // namespace corvantile

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int showCommand) {
    // The updater runs elevated from wherever it was downloaded: no DLL that loads later (the Installer,
    // the common controls, COM) may come from the updater's own folder.
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    return corvantile::Run(instance, showCommand);
}
