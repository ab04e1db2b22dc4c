// Makes updaters for the black-box tests: a copy of the built CorvantileUpdater.exe with a crafted update
// package (complete or deliberately damaged) appended behind its image, optionally followed by a
// certificate table as a signed updater has one.
#pragma once

#include "package/PackageLayout.h"
#include "tests/blackbox/support/Files.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvantile::blackbox {

struct UpdateFile {
    std::wstring name;
    Bytes data;
};

// Deterministic bytes that begin as a patch package does (the compound-file signature) and differ per seed.
[[nodiscard]] Bytes PatchLikeData(std::size_t byteCount, std::uint32_t seed);

// nameLength, productName, versionLength, productVersion.
[[nodiscard]] Bytes HeaderBytes(const std::wstring& productName, const std::wstring& productVersion);
// One header text with any length byte, odd ones included: the byte, then that many bytes of `fill`.
[[nodiscard]] Bytes RawHeaderText(std::uint8_t byteCount, std::uint8_t fill);
// entryCount and the records, without the data.
[[nodiscard]] Bytes TableBytes(const std::vector<UpdateFile>& files);
[[nodiscard]] Bytes RecordBytes(const UpdateTableEntry& entry);
// The data of every file, in table order.
[[nodiscard]] Bytes DataBytes(const std::vector<UpdateFile>& files);
// Header, table and data of a complete package.
[[nodiscard]] Bytes BuildPackage(const std::wstring& productName, const std::wstring& productVersion,
                                 const std::vector<UpdateFile>& files);

[[nodiscard]] Bytes Concat(std::initializer_list<Bytes> parts);
// The first byteCount bytes.
[[nodiscard]] Bytes Prefix(const Bytes& bytes, std::size_t byteCount);

// CorvantileUpdater.exe as the build made it: beside the test program.
[[nodiscard]] std::wstring BuiltUpdaterPath();
// The layout of the built updater's PE headers.
[[nodiscard]] std::optional<PeLayout> BuiltUpdaterLayout();

// Copies the built updater to `path` and appends `package` (which may be empty: an updater without one).
[[nodiscard]] bool MakeUpdater(const std::wstring& path, const Bytes& package);

struct SignedUpdater {
    std::size_t paddingBytes = 0;      // zero bytes between the package and the certificate table
    std::uint32_t certificateOffset = 0;
};

// Like MakeUpdater, then pads the file to a multiple of 8 bytes with zeros, appends a certificate table
// and points the copy's security directory at it, as signing does. The certificate's content is not a
// real signature: the updater only uses where it begins.
[[nodiscard]] std::optional<SignedUpdater> MakeSignedLookingUpdater(const std::wstring& path, const Bytes& package);

}  // namespace corvantile::blackbox
