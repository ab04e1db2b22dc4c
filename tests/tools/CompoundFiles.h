// Real compound files for the packing tool's tests, written byte by byte (version 3, 512-byte sectors), so
// that both builds of the tool read them with their own library: patches with any summary information,
// product databases, transforms and files of other classes.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace corvantile::testing {

using Bytes = std::vector<std::uint8_t>;

struct Stream {
    std::u16string name;
    Bytes data;
};

// The root storage's class, as text: "{000C1086-0000-0000-C000-000000000046}".
inline constexpr char kPatchClass[] = "{000C1086-0000-0000-C000-000000000046}";
inline constexpr char kDatabaseClass[] = "{000C1084-0000-0000-C000-000000000046}";
inline constexpr char kTransformClass[] = "{000C1082-0000-0000-C000-000000000046}";

// A compound file whose root storage has the class `classId` and holds the streams.
[[nodiscard]] Bytes CompoundFile(const std::string& classId, const std::vector<Stream>& streams);

// Summary information with the code page 1252 and the given texts (VT_LPSTR, ASCII), by property id.
[[nodiscard]] Bytes SummaryInformation(const std::vector<std::pair<std::uint32_t, std::string>>& texts);

// Tests give the fields in this order: {classId, targets, revisionNumber, withTargets, paddingBytes}.
struct InstallerFile {
    std::string classId = kPatchClass;
    std::string targets;         // PID_TEMPLATE; not written when `withTargets` is false
    std::string revisionNumber;  // PID_REVNUMBER
    bool withTargets = true;
    std::size_t paddingBytes = 0;  // a stream of this many bytes, to make a large file
};

// What an Installer file holds at the least: summary information and an empty string pool.
[[nodiscard]] Bytes InstallerFileBytes(const InstallerFile& file);

}  // namespace corvantile::testing
