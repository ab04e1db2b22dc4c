// The updater's entry point: reads the command line, opens the log, finds the package behind its own image
// and reads its header, then runs the chosen mode.
#include "app/CommandLine.h"
#include "app/Log.h"
#include "app/ModulePath.h"
#include "app/RunSettings.h"
#include "app/UniqueHandles.h"
#include "package/Extraction.h"
#include "package/PackageFile.h"
#include "res/resource.h"

#include <shellapi.h>
#include <windows.h>

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

void ShowPackageError() {
    constexpr int kStringChars = 256;
    wchar_t text[kStringChars];
    if (::LoadStringW(settings.instanceHandle, IDS_PACKAGE_ERROR, text, kStringChars) <= 0) text[0] = L'\0';
    ::MessageBoxW(nullptr, text, kCaption, MB_OK);
}

bool OpenOwnFile() {
    const std::optional<std::wstring> path = GetModulePath();
    return path && settings.packageFile.Open(ExtendedLengthPath(*path), RunningImageLayout());
}

int Run(HINSTANCE instance) {
    settings.instanceHandle = instance;
    ::HeapSetInformation(nullptr, HeapEnableTerminationOnCorruption, nullptr, 0);
    ReadCommandLine();
    if (settings.runMode == RunMode::Invalid) {
        ::MessageBoxW(nullptr, kUsage, kCaption, MB_OK);
        return 1;
    }
    if (!settings.logDirectory.empty()) OpenLog(settings.logDirectory);

    if (!OpenOwnFile() || !settings.packageFile.HasPackage()) {
        ShowPackageError();
        return 1;
    }
    switch (settings.packageFile.ReadPackageHeader(settings.productName, settings.productVersion)) {
        case HeaderOutcome::ProductNameNotReadable:
            WriteLog(L"Failed to read product name.");
            return 1;
        case HeaderOutcome::VersionNotReadable:
            WriteLog(L"Failed to read product version.");
            return 1;
        case HeaderOutcome::Read:
            break;
    }
    if (settings.runMode == RunMode::Extract) {
        return ExtractUpdateFiles(settings.packageFile, settings.outputDirectory, nullptr);
    }
    // The progress dialog of the interactive and silent runs takes over here.
    return 0;
}

}  // namespace
}  // namespace corvantile

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
    // The updater runs elevated from wherever it was downloaded: no DLL that loads later (the Installer,
    // the common controls, COM) may come from the updater's own folder.
    ::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    return corvantile::Run(instance);
}
