// The version resource that marks a program as this project's updater, read from the bytes of its PE file (the
// packing tool) or of its own image's resource (the About box). Portable: no Windows headers, so the tool's
// native and Windows builds agree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace corvantile {

// The ProductName of the updater's version resource: a stub without it is some other program.
inline constexpr char16_t kUpdaterProductName[] = u"Corvantile Updater";

struct VersionStrings {
    std::u16string productName;
    std::u16string productVersion;
};

// The ProductName and ProductVersion of the first string table of a version resource (VS_VERSIONINFO); a
// missing value is empty. Empty when the bytes are no well-formed version resource.
[[nodiscard]] std::optional<VersionStrings> ReadVersionStrings(const std::uint8_t* bytes, std::size_t byteCount);

// Reads `byteCount` bytes at a file offset into `buffer`; false when the file holds fewer there.
using FileReader = std::function<bool(std::uint64_t offset, std::size_t byteCount, std::uint8_t* buffer)>;

// The bytes of the version resource (type 16, id 1, its first language) of a PE file, found through the
// resource directory that the optional header names. Empty when there is none, or when any offset or size on
// the way leaves the file or its section; a version resource is at most 65,535 bytes long.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> ReadVersionResource(const FileReader& read);

}  // namespace corvantile
