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
    UniqueModule msi(::LoadLibraryExW(L"msi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!msi) return std::nullopt;
    InstallerApi installer;
    const bool resolved = Resolve(msi.get(), "MsiOpenDatabaseW", installer.openDatabase) &&
                          Resolve(msi.get(), "MsiGetSummaryInformationW", installer.getSummaryInformation) &&
                          Resolve(msi.get(), "MsiSummaryInfoGetPropertyW", installer.summaryInfoGetProperty) &&
                          Resolve(msi.get(), "MsiQueryProductStateW", installer.queryProductState) &&
                          Resolve(msi.get(), "MsiGetProductInfoW", installer.getProductInfo) &&
                          Resolve(msi.get(), "MsiDeterminePatchSequenceW", installer.determinePatchSequence) &&
                          Resolve(msi.get(), "MsiSetInternalUI", installer.setInternalUI) &&
                          Resolve(msi.get(), "MsiEnableLogW", installer.enableLog) &&
                          Resolve(msi.get(), "MsiApplyPatchW", installer.applyPatch) &&
                          Resolve(msi.get(), "MsiBeginTransactionW", installer.beginTransaction) &&
                          Resolve(msi.get(), "MsiEndTransaction", installer.endTransaction) &&
                          Resolve(msi.get(), "MsiCloseHandle", installer.closeHandle);
    if (!resolved) return std::nullopt;
    (void)msi.release();
    // user32, advapi32 and kernel32 are known DLLs, always taken from the system directory.
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
