// Reads the update package behind a packed updater's image, checking all of it before anything uses it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace corvantile::pack {

struct PackageEntry {
    std::u16string fileName;
    std::uint32_t dataLength = 0;
    std::uint64_t dataOffset = 0;  // in the file
};

struct CertificateTable {
    std::uint64_t offset = 0;
    std::uint64_t bytes = 0;
};

struct PackageContents {
    std::u16string productName;
    std::u16string productVersion;
    std::uint64_t packageOffset = 0;
    std::vector<PackageEntry> entries;  // in table order
    std::optional<CertificateTable> certificate;
};

// Reads the header and the table, and checks that every name is plain and unique and that the files' data
// fills the package exactly (up to the 0-7 zero bytes that may align a certificate table). On failure
// `error` reads "<path>: <why>".
[[nodiscard]] bool ReadPackage(const std::filesystem::path& path, PackageContents& contents, std::string& error);

// Writes each update file of a package that ReadPackage accepted into `directory`, creating it and its
// parents when missing. Refuses before writing anything when one of the files exists already; removes the
// files it wrote when a later one fails.
[[nodiscard]] bool ExtractPackage(const std::filesystem::path& path, const PackageContents& contents,
                                  const std::filesystem::path& directory, std::string& error);

}  // namespace corvantile::pack
