// Summary information as the Windows Installer itself reads it; the root storage's class through the
// structured-storage functions of ole32.
#include "tools/PatchSummary.h"

#include <windows.h>

#include <msi.h>
#include <msidefs.h>
#include <msiquery.h>
#include <objbase.h>

#include <cstring>
#include <utility>
#include <vector>

namespace corvantile::pack {

namespace {

class UniqueStorage {
public:
    UniqueStorage() = default;
    UniqueStorage(const UniqueStorage&) = delete;
    UniqueStorage& operator=(const UniqueStorage&) = delete;
    ~UniqueStorage() {
        if (storage_ != nullptr) storage_->Release();
    }
    [[nodiscard]] IStorage** put() { return &storage_; }
    [[nodiscard]] IStorage* get() const { return storage_; }

private:
    IStorage* storage_ = nullptr;
};

// msi.dll from the system directory alone, so that a DLL of that name beside the tool or in the current
// directory is never loaded; kept for the rest of the process.
class SystemInstaller {
public:
    SystemInstaller() : module_(LoadLibraryExW(L"msi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        if (module_ == nullptr) return;
        getSummaryInformation = Resolve<decltype(&::MsiGetSummaryInformationW)>("MsiGetSummaryInformationW");
        getProperty = Resolve<decltype(&::MsiSummaryInfoGetPropertyW)>("MsiSummaryInfoGetPropertyW");
        closeHandle = Resolve<decltype(&::MsiCloseHandle)>("MsiCloseHandle");
    }
    SystemInstaller(const SystemInstaller&) = delete;
    SystemInstaller& operator=(const SystemInstaller&) = delete;
    ~SystemInstaller() {
        if (module_ != nullptr) FreeLibrary(module_);
    }

    [[nodiscard]] bool loaded() const {
        return getSummaryInformation != nullptr && getProperty != nullptr && closeHandle != nullptr;
    }

    decltype(&::MsiGetSummaryInformationW) getSummaryInformation = nullptr;
    decltype(&::MsiSummaryInfoGetPropertyW) getProperty = nullptr;
    decltype(&::MsiCloseHandle) closeHandle = nullptr;

private:
    template <typename Function>
    Function Resolve(const char* name) {
        return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
    }

    HMODULE module_;
};

class UniqueSummaryHandle {
public:
    explicit UniqueSummaryHandle(const SystemInstaller& installer) : installer_(installer) {}
    UniqueSummaryHandle(const UniqueSummaryHandle&) = delete;
    UniqueSummaryHandle& operator=(const UniqueSummaryHandle&) = delete;
    ~UniqueSummaryHandle() {
        if (handle_ != 0) installer_.closeHandle(handle_);
    }
    [[nodiscard]] MSIHANDLE* put() { return &handle_; }
    [[nodiscard]] MSIHANDLE get() const { return handle_; }

private:
    const SystemInstaller& installer_;
    MSIHANDLE handle_ = 0;
};

// Empty when the property is missing or holds no text. A length probe first, then the text.
std::optional<std::u16string> TextProperty(const SystemInstaller& installer, MSIHANDLE summary, UINT property) {
    UINT type = 0;
    INT number = 0;
    FILETIME time{};
    wchar_t probe[1] = L"";
    DWORD chars = 0;
    const UINT probed = installer.getProperty(summary, property, &type, &number, &time, probe, &chars);
    if (type != VT_LPSTR || (probed != ERROR_MORE_DATA && probed != ERROR_SUCCESS)) return std::nullopt;
    std::vector<wchar_t> text(static_cast<std::size_t>(chars) + 1, L'\0');
    chars = static_cast<DWORD>(text.size());
    if (installer.getProperty(summary, property, &type, &number, &time, text.data(), &chars) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    return std::u16string(text.begin(), text.begin() + chars);
}

// The storage's class, through a storage that is closed again before the Installer opens the file.
bool ReadStorageKind(const std::filesystem::path& path, StorageKind& kind) {
    UniqueStorage storage;
    if (FAILED(StgOpenStorage(path.c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, storage.put()))) {
        return false;
    }
    STATSTG status{};
    if (FAILED(storage.get()->Stat(&status, STATFLAG_NONAME))) return false;
    ClassId classId{};
    std::memcpy(classId.data(), &status.clsid, classId.size());
    kind = StorageKindOf(classId);
    return true;
}

}  // namespace

SummaryRead ReadSummaryFacts(const std::filesystem::path& path, SummaryFacts& facts) {
    StorageKind kind = StorageKind::Other;
    if (!ReadStorageKind(path, kind)) return SummaryRead::DamagedStorage;
    facts = SummaryFacts{kind, std::nullopt, std::nullopt};
    if (facts.kind != StorageKind::Patch) return SummaryRead::Read;

    static const SystemInstaller installer;
    if (!installer.loaded()) return SummaryRead::InstallerUnavailable;
    UniqueSummaryHandle summary(installer);
    if (installer.getSummaryInformation(0, path.c_str(), 0, summary.put()) != ERROR_SUCCESS) {
        return SummaryRead::SummaryUnreadable;
    }
    facts.targets = TextProperty(installer, summary.get(), PID_TEMPLATE);
    facts.revisionNumber = TextProperty(installer, summary.get(), PID_REVNUMBER);
    return SummaryRead::Read;
}

}  // namespace corvantile::pack
