// Reading an update package front to back, for the updater and the packing tool alike: the header texts, the
// update table and its names, the files' data against the package end, and the extraction of every file.
// Portable: the bytes come from a PackageSource and the files go to an ExtractionTarget.
#pragma once

#include "package/PackageLayout.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvantile {

// The update table's entries in table order; an entry's position is its patch index.
using UpdateFileList = std::vector<UpdateTableEntry>;

// File data is streamed in reads of this size, never held whole.
inline constexpr std::uint32_t kCopyChunkBytes = 32768;

// The package's bytes behind a cursor that only moves forward and never passes the package end.
class PackageSource {
public:
    // Reads up to `bytes` at the cursor and moves it on. Near the package end a read delivers fewer bytes,
    // or none. False when the read itself fails.
    [[nodiscard]] virtual bool Read(void* buffer, std::uint32_t bytes, std::uint32_t& delivered) = 0;
    // The bytes between the cursor and the package end.
    [[nodiscard]] virtual std::uint64_t Remaining() const = 0;

protected:
    ~PackageSource() = default;
};

// A package held in memory. A read delivers at most `maxReadBytes`, so that short reads can be had on purpose.
class MemoryPackageSource final : public PackageSource {
public:
    MemoryPackageSource(const std::uint8_t* bytes, std::size_t byteCount, std::uint32_t maxReadBytes = UINT32_MAX);

    [[nodiscard]] bool Read(void* buffer, std::uint32_t bytes, std::uint32_t& delivered) override;
    [[nodiscard]] std::uint64_t Remaining() const override;

private:
    const std::uint8_t* bytes_;
    std::size_t byteCount_;
    std::uint32_t maxReadBytes_;
    std::size_t position_ = 0;
};

// Where extracted files go: the updater's directory, the packing tool's, or memory. One file at a time:
// Create, Write as often as needed, then Finish or Discard.
class ExtractionTarget {
public:
    // Makes sure the target exists and can hold files; false when it cannot.
    [[nodiscard]] virtual bool Prepare() = 0;
    // Creates a new file of that name; false when it cannot, in particular when one exists already.
    [[nodiscard]] virtual bool Create(std::u16string_view fileName) = 0;
    [[nodiscard]] virtual bool Write(const std::uint8_t* bytes, std::uint32_t byteCount) = 0;
    // Closes the file, complete.
    [[nodiscard]] virtual bool Finish() = 0;
    // Closes the file and removes it: it was not written whole.
    virtual void Discard() = 0;

protected:
    ~ExtractionTarget() = default;
};

enum class HeaderOutcome { Read, ProductNameNotReadable, VersionNotReadable };

struct PackageHeader {
    std::u16string productName;
    std::u16string productVersion;
};

// Reads the product name, then the version, each a length byte and that many bytes. The cursor then stands
// on the entry count.
[[nodiscard]] HeaderOutcome ReadPackageHeader(PackageSource& source, PackageHeader& header);

enum class TableOutcome {
    Read,
    CountNotReadable,  // the package ends inside the entry count
    TableCutShort,     // the entries that the count announces do not fit into the package
    NameUnterminated,  // a record's 260 code units hold no NUL
};

struct TableRead {
    TableOutcome outcome = TableOutcome::Read;
    std::uint32_t entryCount = 0;
    std::size_t failedEntry = 0;  // for NameUnterminated
};

// Reads the entry count and every record at the cursor, in reads of 4 and 528 bytes. The count is checked
// against the package end before any record is read or any memory is reserved.
[[nodiscard]] TableRead ReadUpdateTable(PackageSource& source, UpdateFileList& entries);

// An entry whose name cannot name a file of its own in one directory: the name breaks the plain-name rule
// (`problem`), or it names the same file as `earlierEntry` (`problem` is None).
struct NameRefusal {
    std::size_t entry = 0;
    FileNameProblem problem = FileNameProblem::None;
    std::size_t earlierEntry = 0;
};

// The first entry in table order whose name is refused; empty when every name can be written. Every record
// must hold its NUL (ReadUpdateTable makes sure of that).
[[nodiscard]] std::optional<NameRefusal> FindRefusedName(const UpdateFileList& entries);

enum class DataFit { Fills, CutShort, FollowedByMore };

struct DataExtent {
    DataFit fit = DataFit::Fills;
    std::uint64_t bytes = 0;  // missing when CutShort, following the data when FollowedByMore
};

// How the files' data, which follows the table back to back, meets the package end `packageBytesLeft`
// bytes behind the table.
[[nodiscard]] DataExtent CheckDataExtent(const UpdateFileList& entries, std::uint64_t packageBytesLeft);

enum class ExtractionOutcome {
    Extracted,
    TableNotReadable,        // no entry count
    EntryNotReadable,        // a record missing or broken
    NameRefused,             // see FindRefusedName
    DirectoryNotAccessible,  // the target cannot be prepared
    FileNotCreated,
    DataCutShort,  // a data read failed or delivered nothing while bytes remained
    WriteFailed,
};

// Reads the table at the cursor and checks every name before the target is touched; then writes each file
// in table order, its data in reads of at most kCopyChunkBytes. A short read is written and the copy goes on.
// A file that is not written whole is discarded; the files finished before it stay. `entries` receives the
// table as read.
[[nodiscard]] ExtractionOutcome ExtractFiles(PackageSource& source, ExtractionTarget& target, UpdateFileList& entries);

}  // namespace corvantile
