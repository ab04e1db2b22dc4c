// Summary information as the updater itself reads it, through the same Installer layer; the root storage's
// class through the structured-storage functions of ole32.
#include "tools/PatchSummary.h"

#include "base/UniqueHandles.h"
#include "engine/InstallerApi.h"
#include "engine/InstallerResult.h"
#include "engine/InstallerText.h"

#include <windows.h>

#include <objbase.h>

#include <cstring>

namespace corvantile::pack {

namespace {

// The summary text as the updater reads it; UTF-16 either way on Windows.
std::optional<std::u16string> TextProperty(const InstallerApi& installer, MSIHANDLE summary, UINT property) {
    const std::optional<std::wstring> text = ReadSummaryText(installer, summary, property);
    if (!text) return std::nullopt;
    return std::u16string(text->begin(), text->end());
}

// The storage's class, through a storage that is closed again before the Installer opens the file.
bool ReadStorageKind(const std::filesystem::path& path, StorageKind& kind) {
    UniqueComPointer<IStorage> storage;
    if (FAILED(::StgOpenStorage(path.c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, storage.put()))) {
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

    const InstallerApi* const installer = LoadSystemInstaller();
    if (installer == nullptr) return SummaryRead::InstallerUnavailable;
    PatchSummaryHandles patch(*installer);
    if (OpenPatchSummary(*installer, path.c_str(), patch) != kInstallerSuccess) return SummaryRead::SummaryUnreadable;
    facts.targets = TextProperty(*installer, patch.summary.get(), kPidTemplate);
    facts.revisionNumber = TextProperty(*installer, patch.summary.get(), kPidRevisionNumber);
    return SummaryRead::Read;
}

}  // namespace corvantile::pack
