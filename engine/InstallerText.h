// Texts read from the Installer in two calls: a length probe with a count of 0, then a zero-filled buffer of
// the reported length + 1 characters.
#pragma once

#include "engine/InstallerApi.h"

#include <optional>
#include <string>

namespace corvantile {

// A property of an installed product ("LocalPackage", "InstalledProductName"). Empty when either call
// fails.
[[nodiscard]] std::optional<std::wstring> ReadProductProperty(const InstallerApi& installer,
                                                              const std::wstring& productCode,
                                                              const wchar_t* property);

// The template of a summary information stream: a patch's target product codes, a package's platform and
// languages. Empty unless the probe reports more data and the read succeeds.
[[nodiscard]] std::optional<std::wstring> ReadSummaryTemplate(const InstallerApi& installer, MSIHANDLE summary);

}  // namespace corvantile
