// The updater's own file, read as the update package that follows its image.
#pragma once

#include "base/UniqueHandles.h"
#include "package/PackageLayout.h"
#include "package/PackageReader.h"

#include <windows.h>

#include <cstdint>
#include <string>

namespace corvantile {

// The layout of the running executable, read from its mapped headers once and kept.
[[nodiscard]] const PeLayout& RunningImageLayout();
// The file offset at which the package begins.
[[nodiscard]] std::uint32_t ImageEnd();

class PackageFile final : public PackageSource {
public:
    // Opens the file for reading, sharing reads only, and finds where its package ends: at the certificate
    // table of a signed file, else at the end of the file. False when the file cannot be opened.
    [[nodiscard]] bool Open(const std::wstring& path, const PeLayout& layout);

    // True when anything lies between the end of the image and the end of the package.
    [[nodiscard]] bool HasPackage() const;

    // Moves the cursor to the start of the package and reads the product name, then the version.
    [[nodiscard]] HeaderOutcome ReadPackageHeader(std::wstring& productName, std::wstring& productVersion);

    // Reads up to `bytes` at the cursor with one ReadFile, never past the end of the package: there a read
    // delivers fewer bytes, or none. False when ReadFile fails.
    [[nodiscard]] bool Read(void* buffer, std::uint32_t bytes, std::uint32_t& delivered) override;
    [[nodiscard]] std::uint64_t Remaining() const override;

private:
    UniqueFile file_;
    PeLayout layout_;
    std::uint64_t fileBytes_ = 0;
    std::uint64_t packageEnd_ = 0;
    std::uint64_t position_ = 0;
};

}  // namespace corvantile
