#include "engine/InstallerText.h"

#include "engine/InstallerResult.h"

#include <vector>

namespace corvantile {

std::optional<std::wstring> ReadProductProperty(const InstallerApi& installer, const std::wstring& productCode,
                                                const wchar_t* property) {
    DWORD countChars = 0;
    if (installer.getProductInfo(productCode.c_str(), property, nullptr, &countChars) != kInstallerSuccess) {
        return std::nullopt;
    }
    std::vector<wchar_t> buffer(std::size_t{countChars} + 1, L'\0');
    countChars += 1;
    if (installer.getProductInfo(productCode.c_str(), property, buffer.data(), &countChars) != kInstallerSuccess) {
        return std::nullopt;
    }
    // The buffer ends with a NUL that the Installer never overwrites.
    return std::wstring(buffer.data());
}

std::optional<std::wstring> ReadSummaryText(const InstallerApi& installer, MSIHANDLE summary, UINT property) {
    UINT dataType = 0;
    wchar_t empty[1] = {L'\0'};
    DWORD countChars = 0;
    if (installer.summaryInfoGetProperty(summary, property, &dataType, nullptr, nullptr, empty, &countChars) !=
        kInstallerMoreData) {
        return std::nullopt;
    }
    std::vector<wchar_t> buffer(std::size_t{countChars} + 1, L'\0');
    countChars += 1;
    if (installer.summaryInfoGetProperty(summary, property, &dataType, nullptr, nullptr, buffer.data(), &countChars) !=
        kInstallerSuccess) {
        return std::nullopt;
    }
    return std::wstring(buffer.data());
}

std::optional<std::wstring> ReadSummaryTemplate(const InstallerApi& installer, MSIHANDLE summary) {
    return ReadSummaryText(installer, summary, kPidTemplate);
}

UINT OpenPatchSummary(const InstallerApi& installer, const wchar_t* patchPath, PatchSummaryHandles& handles) {
    if (const UINT opened = installer.openDatabase(patchPath, kOpenPatchReadOnly, handles.database.put());
        opened != kInstallerSuccess) {
        return opened;
    }
    return installer.getSummaryInformation(handles.database.get(), nullptr, 0, handles.summary.put());
}

std::optional<PatchCatalogue> ReadPatchCatalogue(const InstallerApi& installer,
                                                 const std::vector<std::wstring>& patchPaths) {
    PatchCatalogue catalogue;
    for (std::size_t i = 0; i < patchPaths.size(); ++i) {
        PatchSummaryHandles patch(installer);
        if (OpenPatchSummary(installer, patchPaths[i].c_str(), patch) != kInstallerSuccess) return std::nullopt;
        const std::optional<std::wstring> targets = ReadSummaryTemplate(installer, patch.summary.get());
        if (!targets) return std::nullopt;
        AddPatchTargets(catalogue, *targets, static_cast<std::uint32_t>(i));
    }
    return catalogue;
}

}  // namespace corvantile
