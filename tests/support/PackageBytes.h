// Update packages built byte by byte: whole, part by part, or deliberately damaged.
#pragma once

#include "package/PackageLayout.h"
#include "tests/support/Files.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace corvantile::testing {

struct UpdateFile {
    std::wstring name;
    Bytes data;
};

// The header texts of a package built whole.
inline const std::wstring kProductName = L"Corvantile Server 10";  // 40 bytes
inline const std::wstring kProductVersion = L"2.0.0.100";           // 18 bytes

// Deterministic bytes that differ from position to position and from seed to seed, so that a misplaced
// block shows.
[[nodiscard]] Bytes PatternBytes(std::size_t byteCount, std::uint32_t seed);
// PatternBytes that begin as a patch package does (the compound-file signature), as real update files do.
[[nodiscard]] Bytes PatchLikeData(std::size_t byteCount, std::uint32_t seed);

// nameLength, productName, versionLength, productVersion.
[[nodiscard]] Bytes HeaderBytes(const std::wstring& productName = kProductName,
                                const std::wstring& productVersion = kProductVersion);
// One header text with any length byte, odd ones included: the byte, then that many bytes of `fill`.
[[nodiscard]] Bytes RawHeaderText(std::uint8_t byteCount, std::uint8_t fill);
// entryCount and the records, without the data.
[[nodiscard]] Bytes TableBytes(const std::vector<UpdateFile>& files);
[[nodiscard]] Bytes RecordBytes(const UpdateTableEntry& entry);
// The data of every file, in table order.
[[nodiscard]] Bytes DataBytes(const std::vector<UpdateFile>& files);
// HeaderBytes(), table and data of a complete package.
[[nodiscard]] Bytes BuildPackage(const std::vector<UpdateFile>& files);
// Where record `index` begins in a package built by BuildPackage; EntryOffset(entryCount) is where the data
// begins.
[[nodiscard]] std::size_t EntryOffset(std::size_t index);

[[nodiscard]] Bytes Concat(std::initializer_list<Bytes> parts);
// The first byteCount bytes.
[[nodiscard]] Bytes Prefix(const Bytes& bytes, std::size_t byteCount);

}  // namespace corvantile::testing
