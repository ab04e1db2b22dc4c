// Everything the engine asks of the Windows Installer, of the dialog and of the restart, as one table that
// is handed to it: the system's in the updater, a scripted fake in the tests.
#pragma once

#include <windows.h>

#include <msi.h>
#include <msiquery.h>

#include <cstdint>
#include <utility>

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
    // The progress dialog's status line
    decltype(&::SendMessageW) sendMessage = nullptr;
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

// One owner per handle that the table hands out, closed through the same table, so that the fake sees
// every close and its order.
template <typename Handle, typename CloseFunction>
class UniqueApiHandle {
public:
    explicit UniqueApiHandle(CloseFunction close) noexcept : close_(close) {}
    UniqueApiHandle(const UniqueApiHandle&) = delete;
    UniqueApiHandle& operator=(const UniqueApiHandle&) = delete;
    ~UniqueApiHandle() { reset(); }

    [[nodiscard]] Handle get() const noexcept { return handle_; }
    // For out-parameters: whatever was held is closed first.
    [[nodiscard]] Handle* put() noexcept {
        reset();
        return &handle_;
    }
    // For a handle that another party has taken over: it is no longer closed here.
    [[nodiscard]] Handle release() noexcept { return std::exchange(handle_, Handle{}); }
    void reset() noexcept {
        if (const Handle old = std::exchange(handle_, Handle{}); old != Handle{}) close_(old);
    }

private:
    CloseFunction close_;
    Handle handle_{};
};

// Databases, summary information and transactions: 0 is no handle.
class UniqueMsiHandle : public UniqueApiHandle<MSIHANDLE, decltype(&::MsiCloseHandle)> {
public:
    explicit UniqueMsiHandle(const InstallerApi& installer) noexcept : UniqueApiHandle(installer.closeHandle) {}
};

// The process token of the restart: OpenProcessToken leaves NULL when it fails.
class UniqueTokenHandle : public UniqueApiHandle<HANDLE, decltype(&::CloseHandle)> {
public:
    explicit UniqueTokenHandle(const InstallerApi& installer) noexcept
        : UniqueApiHandle(installer.closeKernelHandle) {}
};

}  // namespace corvantile
