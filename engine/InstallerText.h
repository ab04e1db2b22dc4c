// Texts read from the Installer in two calls: a length probe with a count of 0, then a zero-filled buffer of
// the reported length + 1 characters.
#pragma once

#include "engine/InstallerApi.h"
#include "engine/PatchCatalogue.h"

#include <optional>
#include <string>
#include <vector>

namespace corvantile {

// A property of an installed product ("LocalPackage", "InstalledProductName"). Empty when either call
// fails.
[[nodiscard]] std::optional<std::wstring> ReadProductProperty(const InstallerApi& installer,
                                                              const std::wstring& productCode, const wchar_t* property);

// A text property of a summary information stream. Empty unless the probe reports more data and the read
// succeeds: an empty text, a number and a missing property read alike.
[[nodiscard]] std::optional<std::wstring> ReadSummaryText(const InstallerApi& installer, MSIHANDLE summary,
                                                          UINT property);

// The template of a summary information stream: a patch's target product codes, a package's platform and
// languages.
[[nodiscard]] std::optional<std::wstring> ReadSummaryTemplate(const InstallerApi& installer, MSIHANDLE summary);

// Summary information properties.
inline constexpr UINT kPidTemplate = 7;
inline constexpr UINT kPidRevisionNumber = 9;

// A patch file's summary information, opened as the updater opens it: the patch as a read-only database, then
// its summary. The summary is declared last, so that it is closed before its database.
struct PatchSummaryHandles {
    explicit PatchSummaryHandles(const InstallerApi& installer) noexcept : database(installer), summary(installer) {}
    UniqueMsiHandle database;
    UniqueMsiHandle summary;
};

// ERROR_SUCCESS, or the result of the call that failed.
[[nodiscard]] UINT OpenPatchSummary(const InstallerApi& installer, const wchar_t* patchPath,
                                    PatchSummaryHandles& handles);

// Every product code that the patches target, with the indices of the patches that target it. Empty when a
// patch cannot be opened or its template cannot be read: no later patch is looked at.
[[nodiscard]] std::optional<PatchCatalogue> ReadPatchCatalogue(const InstallerApi& installer,
                                                               const std::vector<std::wstring>& patchPaths);

}  // namespace corvantile
