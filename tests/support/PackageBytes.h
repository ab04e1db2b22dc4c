// Update packages built byte by byte: whole, part by part, or deliberately damaged, and updaters with a
// certificate table behind the package as signing leaves one. Portable: the Windows tests, the native
// tests, the fuzzer's seeds and make-test-package (which writes the scripts' packages) share this one writer.
#pragma once

#include "package/PackageLayout.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace corvantile::testing {

using Bytes = std::vector<std::uint8_t>;

struct UpdateFile {
    std::wstring name;
    Bytes data;
};

// The header texts of a package built whole.
inline const std::wstring kProductName = L"Corvantile Server 10";  // 40 bytes
inline const std::wstring kProductVersion = L"2.0.0.100";          // 18 bytes

// The UTF-16 code units of a wide text: itself where wchar_t is UTF-16, surrogate pairs for the code points
// beyond U+FFFF where it is UTF-32. A lone surrogate stays one.
[[nodiscard]] std::u16string Utf16(const std::wstring& text);

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
// Header, table and data of a complete package.
[[nodiscard]] Bytes BuildPackage(const std::vector<UpdateFile>& files, const std::wstring& productName = kProductName,
                                 const std::wstring& productVersion = kProductVersion);
// Where record `index` begins in a package built by BuildPackage with the default texts; EntryOffset(entryCount)
// is where the data begins.
[[nodiscard]] std::size_t EntryOffset(std::size_t index);

[[nodiscard]] Bytes Concat(std::initializer_list<Bytes> parts);
// The first byteCount bytes.
[[nodiscard]] Bytes Prefix(const Bytes& bytes, std::size_t byteCount);

// ---- Signed-looking updaters ----

// A certificate table of one WIN_CERTIFICATE record: its length, revision 2.0, type PKCS signed data, then
// filler of DER's look. No real signature: the updater only uses where the table begins.
[[nodiscard]] Bytes CertificateTable(std::size_t byteCount = 256);
// What signing does to the end of a file: zeros up to the next multiple of 8 bytes, then the table. Gives
// where the table begins.
std::uint32_t AppendCertificateTable(Bytes& file, const Bytes& certificate);
// Where the security directory (the certificate table's file offset and size) of a PE32 or PE32+ image lies,
// found from the headers' own fields; empty when the bytes hold no such entry.
[[nodiscard]] std::optional<std::size_t> SecurityDirectoryOffset(const Bytes& image);
// Points the security directory at `offset`, `byteCount`; false when the image has none.
[[nodiscard]] bool SetSecurityDirectory(Bytes& image, std::uint32_t offset, std::uint32_t byteCount);

struct SignedUpdater {
    Bytes file;
    std::size_t paddingBytes = 0;  // zero bytes between the package and the certificate table
    std::uint32_t certificateOffset = 0;
};

// An unsigned updater (an image with its package behind it) as signing leaves it: the certificate table
// appended and the security directory pointing at it. Empty when the image is no unsigned PE image, or when
// the updater's own reading of the result would not find the table there.
[[nodiscard]] std::optional<SignedUpdater> SignLooking(Bytes updater, const Bytes& certificate = CertificateTable());

// ---- Files, through the standard library ----

// The whole file; empty when it cannot be read.
[[nodiscard]] Bytes ReadAll(const std::filesystem::path& path);
// Creates or replaces the file with these bytes.
void WriteAll(const std::filesystem::path& path, const Bytes& bytes);

}  // namespace corvantile::testing
