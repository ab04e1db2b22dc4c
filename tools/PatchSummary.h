// What an update file says of itself: whether it is a patch package, the products it targets and its patch
// code, read from its summary information by the platform's own compound-file library (the Windows
// Installer on Windows, libgsf elsewhere), so that the tool knows what it packs.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace corvantile::pack {

// The root storage's class identifies an Installer file.
enum class StorageKind { Patch, ProductDatabase, Transform, Other };

using ClassId = std::array<std::uint8_t, 16>;  // as stored: the first three fields little-endian

[[nodiscard]] StorageKind StorageKindOf(const ClassId& classId);

// The facts the platform library reads; the texts only for a patch, each empty when the property is
// missing or holds no text.
struct SummaryFacts {
    StorageKind kind = StorageKind::Other;
    std::optional<std::u16string> targets;         // PID_TEMPLATE: product codes separated by ';'
    std::optional<std::u16string> revisionNumber;  // PID_REVNUMBER: the patch code, then obsoleted codes
};

enum class SummaryRead { Read, DamagedStorage, SummaryUnreadable, InstallerUnavailable };

// Platform part: reads a file that carries the compound-file signature. A patch without summary
// information, or with summary information that cannot be parsed, reads as one without properties, as
// the Installer reads it.
[[nodiscard]] SummaryRead ReadSummaryFacts(const std::filesystem::path& path, SummaryFacts& facts);

struct PatchSummary {
    bool patch = false;  // the storage is a patch package, usable or not
    std::vector<std::u16string> targetProductCodes;
    std::u16string patchCode;
    std::string problem;  // why the file cannot go into a package; empty when it can
};

// Judges what the platform library read.
[[nodiscard]] PatchSummary SummarizePatch(const SummaryFacts& facts);

// Reads and judges one file.
[[nodiscard]] PatchSummary ReadPatchSummary(const std::filesystem::path& path);

// Reads and judges `bytes` bytes at `offset` of a packed updater, through a temporary copy, since the
// Installer reads summary information only from a file of its own.
[[nodiscard]] PatchSummary ReadPackedPatchSummary(const std::filesystem::path& package, std::uint64_t offset,
                                                  std::uint64_t bytes);

struct NamedPatch {
    std::string name;  // as messages show it
    PatchSummary summary;
};

// Across the patches of one package: false with `error` when two share a patch code (the Installer would
// take them for one patch); a warning when they fall into groups that share no target product, which is
// allowed but often a mistake.
[[nodiscard]] bool CheckPatchSet(const std::vector<NamedPatch>& patches, std::vector<std::string>& warnings,
                                 std::string& error);

}  // namespace corvantile::pack
