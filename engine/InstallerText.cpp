#include "engine/InstallerText.h"

#include "engine/InstallerResult.h"

#include <vector>

namespace corvantile {

namespace {

// The summary property that holds the template.
constexpr UINT kPidTemplate = 7;

}  // namespace

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

std::optional<std::wstring> ReadSummaryTemplate(const InstallerApi& installer, MSIHANDLE summary) {
    UINT dataType = 0;
    wchar_t empty[1] = {L'\0'};
    DWORD countChars = 0;
    if (installer.summaryInfoGetProperty(summary, kPidTemplate, &dataType, nullptr, nullptr, empty, &countChars) !=
        kInstallerMoreData) {
        return std::nullopt;
    }
    std::vector<wchar_t> buffer(std::size_t{countChars} + 1, L'\0');
    countChars += 1;
    if (installer.summaryInfoGetProperty(summary, kPidTemplate, &dataType, nullptr, nullptr, buffer.data(),
                                         &countChars) != kInstallerSuccess) {
        return std::nullopt;
    }
    return std::wstring(buffer.data());
}

}  // namespace corvantile
