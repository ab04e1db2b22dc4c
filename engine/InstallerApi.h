// Everything the engine asks of the Windows Installer and of the restart, as one table that
// is handed to it: the system's in the updater, a scripted fake in the tests.
#pragma once

#include "base/UniqueHandles.h"

#include <windows.h>

#include <msi.h>
#include <msiquery.h>

#include <cstdint>

namespace corvantile {

struct InstallerApi {
    // msi.dll
    decltype(&::MsiOpenDatabaseW) openDatabase = nullptr;
    decltype(&::MsiGetSummaryInformationW) getSummaryInformation = nullptr;
    decltype(&::MsiSummaryInfoGetPropertyW) summaryInfoGetProperty = nullptr;
    decltype(&::MsiQueryProductStateW) queryProductState = nullptr;
    decltype(&::MsiGetProductInfoW) getProductInfo = nullptr;
    decltype(&::MsiDeterminePatchSequenceW) determinePatchSequence = nullptr;
    decltype(&::MsiSetInternalUI) setInternalUI = nullptr;
    decltype(&::MsiEnableLogW) enableLog = nullptr;
    decltype(&::MsiApplyPatchW) applyPatch = nullptr;
    decltype(&::MsiBeginTransactionW) beginTransaction = nullptr;
    decltype(&::MsiEndTransaction) endTransaction = nullptr;
    decltype(&::MsiCloseHandle) closeHandle = nullptr;
    // The restart question, asked only where a user can see it, and the restart
    decltype(&::GetProcessWindowStation) getProcessWindowStation = nullptr;
    decltype(&::GetUserObjectInformationW) getUserObjectInformation = nullptr;
    decltype(&::MessageBoxW) messageBox = nullptr;
    decltype(&::OpenProcessToken) openProcessToken = nullptr;
    decltype(&::LookupPrivilegeValueW) lookupPrivilegeValue = nullptr;
    decltype(&::AdjustTokenPrivileges) adjustTokenPrivileges = nullptr;
    decltype(&::CloseHandle) closeKernelHandle = nullptr;
    decltype(&::ExitWindowsEx) exitWindows = nullptr;
    // The wait before a busy Installer is asked again
    decltype(&::Sleep) sleep = nullptr;
};

// The table of the system's own Installer: msi.dll loaded from the system directory alone, each entry point
// resolved once per process. Null when msi.dll or one of its entry points cannot be loaded.
[[nodiscard]] const InstallerApi* LoadSystemInstaller();

// msiquery.h spells this MSIDBOPEN_READONLY + MSIDBOPEN_PATCHFILE, pointer arithmetic on a null pointer.
inline const LPCWSTR kOpenPatchReadOnly = reinterpret_cast<LPCWSTR>(std::uintptr_t{32});

// The handles that the table hands out are closed through the same table, so that the fake sees every close
// and its order.

// Databases, summary information and transactions: 0 is no handle.
struct MsiHandleCloser {
    using Handle = MSIHANDLE;
    MsiHandleCloser(const InstallerApi& installer) noexcept : close(installer.closeHandle) {}
    static Handle Empty() noexcept { return 0; }
    void operator()(Handle handle) const noexcept { close(handle); }
    decltype(&::MsiCloseHandle) close;
};
using UniqueMsiHandle = UniqueResource<MsiHandleCloser>;

// The process token of the restart: OpenProcessToken leaves NULL when it fails.
struct TokenCloser {
    using Handle = HANDLE;
    TokenCloser(const InstallerApi& installer) noexcept : close(installer.closeKernelHandle) {}
    static Handle Empty() noexcept { return nullptr; }
    void operator()(Handle handle) const noexcept { close(handle); }
    decltype(&::CloseHandle) close;
};
using UniqueTokenHandle = UniqueResource<TokenCloser>;

}  // namespace corvantile
