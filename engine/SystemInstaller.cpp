#include "engine/InstallerApi.h"

#include <optional>

namespace corvantile {

namespace {

template <typename Function>
bool Resolve(HMODULE module, const char* name, Function& entryPoint) {
    // Through the generic function pointer type, which converts to any other without a warning.
    entryPoint = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(::GetProcAddress(module, name)));
    return entryPoint != nullptr;
}

std::optional<InstallerApi> LoadFromSystemDirectory() {
    // msi.dll is not a known DLL: a plain load would search the updater's own folder first, and the updater
    // runs elevated from wherever it was downloaded. The module stays loaded for the rest of the process,
    // as a static import would, because the worker may still be inside it while the process ends.
    const HMODULE msi = ::LoadLibraryExW(L"msi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (msi == nullptr) return std::nullopt;
    InstallerApi installer;
    const bool resolved = Resolve(msi, "MsiOpenDatabaseW", installer.openDatabase) &&
                          Resolve(msi, "MsiGetSummaryInformationW", installer.getSummaryInformation) &&
                          Resolve(msi, "MsiSummaryInfoGetPropertyW", installer.summaryInfoGetProperty) &&
                          Resolve(msi, "MsiQueryProductStateW", installer.queryProductState) &&
                          Resolve(msi, "MsiGetProductInfoW", installer.getProductInfo) &&
                          Resolve(msi, "MsiDeterminePatchSequenceW", installer.determinePatchSequence) &&
                          Resolve(msi, "MsiSetInternalUI", installer.setInternalUI) &&
                          Resolve(msi, "MsiEnableLogW", installer.enableLog) &&
                          Resolve(msi, "MsiApplyPatchW", installer.applyPatch) &&
                          Resolve(msi, "MsiBeginTransactionW", installer.beginTransaction) &&
                          Resolve(msi, "MsiEndTransaction", installer.endTransaction) &&
                          Resolve(msi, "MsiCloseHandle", installer.closeHandle);
    if (!resolved) {
        ::FreeLibrary(msi);
        return std::nullopt;
    }
    // user32, advapi32 and kernel32 are known DLLs, always taken from the system directory.
    installer.sendMessage = &::SendMessageW;
    installer.getProcessWindowStation = &::GetProcessWindowStation;
    installer.getUserObjectInformation = &::GetUserObjectInformationW;
    installer.messageBox = &::MessageBoxW;
    installer.openProcessToken = &::OpenProcessToken;
    installer.lookupPrivilegeValue = &::LookupPrivilegeValueW;
    installer.adjustTokenPrivileges = &::AdjustTokenPrivileges;
    installer.closeKernelHandle = &::CloseHandle;
    installer.exitWindows = &::ExitWindowsEx;
    installer.sleep = &::Sleep;
    return installer;
}

}  // namespace

const InstallerApi* LoadSystemInstaller() {
    // Only the worker thread of a run calls this, and at most once per run; a failed load is tried again.
    static std::optional<InstallerApi> installer;
    if (!installer) installer = LoadFromSystemDirectory();
    return installer ? &*installer : nullptr;
}

}  // namespace corvantile
