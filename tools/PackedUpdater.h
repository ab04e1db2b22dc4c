// A packed updater on disk, read through the shared package reader: what `list` shows and what `extract`
// writes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <istream>
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
    // A table said to reach past the end of the file: the package then ends at the table or at the end of the
    // file, whichever comes first, as the updater reads it.
    bool reachesPastFileEnd = false;
};

struct PackageContents {
    std::u16string productName;
    std::u16string productVersion;
    std::uint64_t fileBytes = 0;
    std::uint64_t packageOffset = 0;
    std::uint64_t packageEnd = 0;
    std::vector<PackageEntry> entries;  // in table order
    std::optional<CertificateTable> certificate;
};

// Reads the header and the table, and checks that every name is plain and unique and that the files' data
// fills the package exactly (up to the 0-7 zero bytes that may align a certificate table). On failure
// `error` reads "<path>: <why>".
[[nodiscard]] bool ReadPackage(const std::filesystem::path& path, PackageContents& contents, std::string& error);
// The same for a file of `fileBytes` bytes open as `file`; on failure `problem` says why, without a path.
[[nodiscard]] bool ReadPackage(std::istream& file, std::uint64_t fileBytes, PackageContents& contents,
                               std::string& problem);

// Why a signature whose certificate table reaches past the end of the file is damaged. Such a file is read
// as the updater reads it, but a release must not ship it: no signature check can pass.
[[nodiscard]] std::string DescribeDamagedSignature(const CertificateTable& table, std::uint64_t fileBytes);

// Writes each update file of a package that ReadPackage accepted into `directory`, creating it and its
// parents when missing. Refuses before writing anything when one of the files exists already, and creates
// each file new, so that nothing is ever overwritten. After a failure nothing it made stays: neither the
// files nor the directories.
[[nodiscard]] bool ExtractPackage(const std::filesystem::path& path, const PackageContents& contents,
                                  const std::filesystem::path& directory, std::string& error);

}  // namespace corvantile::pack
