// Brings one installed product up to date with the patches that name it.
#pragma once

#include "engine/InstallerApi.h"
#include "engine/PatchCatalogue.h"
#include "engine/StatusLine.h"
#include "package/Extraction.h"

#include <windows.h>

#include <cstdint>
#include <string>

namespace corvantile {

// What UpdateProduct uses besides its arguments: the run's Installer, the Installer log directory (ending
// with a backslash, or empty when logging is off), the module and string that format the status line, and
// where it is shown (nowhere when null).
struct ProductUpdateServices {
    const InstallerApi& installer;
    const std::wstring& logDirectory;
    HINSTANCE stringModule;
    UINT statusFormatId;
    StatusLine* statusLine;
};

// Asks the Installer which of the patches apply to the product and in which order, and applies them. Sets
// rebootRequired when an applied patch asks for a restart; never clears it. 0 when every applicable patch
// was applied or none applies; 1 when the sequencing or a patch failed, which stops at that patch, with the
// failing call's result in installerResult.
[[nodiscard]] int UpdateProduct(const ProductUpdateServices& services, const std::wstring& extractDir,
                                const std::wstring& productCode, const PatchIndexList& patchIndices,
                                const UpdateFileList& updateFiles, bool& rebootRequired,
                                std::uint32_t& installerResult);

}  // namespace corvantile
