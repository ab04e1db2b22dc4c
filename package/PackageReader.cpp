#include "package/PackageReader.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace corvantile {

namespace {

// A read that succeeds and delivers exactly what it asked for.
bool ReadExactly(PackageSource& source, void* buffer, std::uint32_t bytes) {
    std::uint32_t delivered = 0;
    return source.Read(buffer, bytes, delivered) && delivered == bytes;
}

// One length byte, then that many bytes of UTF-16LE text.
bool ReadHeaderText(PackageSource& source, std::u16string& text) {
    std::uint8_t byteCount = 0;
    std::uint8_t bytes[kMaxHeaderTextBytes];
    if (!ReadExactly(source, &byteCount, 1) || !ReadExactly(source, bytes, byteCount)) return false;
    text = DecodeHeaderText(bytes, byteCount);
    return true;
}

enum class CopyOutcome { Copied, ReadFailed, WriteFailed };

CopyOutcome CopyFileData(PackageSource& source, ExtractionTarget& target, std::uint32_t dataLength,
                         std::vector<std::uint8_t>& buffer) {
    std::uint32_t remainingBytes = dataLength;
    while (remainingBytes > 0) {
        const std::uint32_t requestedBytes = std::min(remainingBytes, kCopyChunkBytes);
        std::uint32_t deliveredBytes = 0;
        if (!source.Read(buffer.data(), requestedBytes, deliveredBytes) || deliveredBytes == 0) {
            return CopyOutcome::ReadFailed;
        }
        if (!target.Write(buffer.data(), deliveredBytes)) return CopyOutcome::WriteFailed;
        remainingBytes -= deliveredBytes;
    }
    return CopyOutcome::Copied;
}

}  // namespace

MemoryPackageSource::MemoryPackageSource(const std::uint8_t* bytes, std::size_t byteCount, std::uint32_t maxReadBytes)
    : bytes_(bytes), byteCount_(byteCount), maxReadBytes_(std::max<std::uint32_t>(maxReadBytes, 1)) {}

bool MemoryPackageSource::Read(void* buffer, std::uint32_t bytes, std::uint32_t& delivered) {
    delivered = static_cast<std::uint32_t>(
        std::min<std::uint64_t>({bytes, maxReadBytes_, static_cast<std::uint64_t>(byteCount_ - position_)}));
    if (delivered != 0) std::memcpy(buffer, bytes_ + position_, delivered);
    position_ += delivered;
    return true;
}

std::uint64_t MemoryPackageSource::Remaining() const { return byteCount_ - position_; }

HeaderOutcome ReadPackageHeader(PackageSource& source, PackageHeader& header) {
    if (!ReadHeaderText(source, header.productName)) return HeaderOutcome::ProductNameNotReadable;
    if (!ReadHeaderText(source, header.productVersion)) return HeaderOutcome::VersionNotReadable;
    return HeaderOutcome::Read;
}

TableRead ReadUpdateTable(PackageSource& source, UpdateFileList& entries) {
    TableRead result;
    std::uint8_t countBytes[kEntryCountBytes];
    if (!ReadExactly(source, countBytes, kEntryCountBytes)) {
        result.outcome = TableOutcome::CountNotReadable;
        return result;
    }
    result.entryCount = ReadLe32(countBytes);
    // The count comes from the package: it must be backed by bytes that are there before it sizes anything.
    if (std::uint64_t{result.entryCount} * kEntryBytes > source.Remaining()) {
        result.outcome = TableOutcome::TableCutShort;
        return result;
    }
    entries.clear();
    entries.reserve(result.entryCount);
    for (std::uint32_t i = 0; i < result.entryCount; ++i) {
        EntryBytes record;
        if (!ReadExactly(source, record.data(), kEntryBytes)) {
            result.outcome = TableOutcome::TableCutShort;
            return result;
        }
        entries.push_back(DecodeEntry(record.data()));
        // A name that fills the record without its NUL has no defined end.
        if (!EntryFileName(entries.back())) {
            result.outcome = TableOutcome::NameUnterminated;
            result.failedEntry = i;
            return result;
        }
    }
    return result;
}

std::optional<NameRefusal> FindRefusedName(const UpdateFileList& entries) {
    std::unordered_map<std::u16string, std::size_t> firstEntryByKey;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::u16string_view name = EntryFileName(entries[i]).value_or(u"");
        if (const FileNameProblem problem = CheckPlainFileName(name); problem != FileNameProblem::None) {
            return NameRefusal{i, problem, 0};
        }
        const auto [first, unique] = firstEntryByKey.emplace(FileNameCollisionKey(name), i);
        if (!unique) return NameRefusal{i, FileNameProblem::None, first->second};
    }
    return std::nullopt;
}

DataExtent CheckDataExtent(const UpdateFileList& entries, std::uint64_t packageBytesLeft) {
    std::uint64_t dataBytes = 0;
    for (const UpdateTableEntry& entry : entries) dataBytes += entry.dataLength;
    if (dataBytes > packageBytesLeft) return {DataFit::CutShort, dataBytes - packageBytesLeft};
    if (dataBytes < packageBytesLeft) return {DataFit::FollowedByMore, packageBytesLeft - dataBytes};
    return {DataFit::Fills, 0};
}

ExtractionOutcome ExtractFiles(PackageSource& source, ExtractionTarget& target, UpdateFileList& entries) {
    switch (ReadUpdateTable(source, entries).outcome) {
        case TableOutcome::Read: break;
        case TableOutcome::CountNotReadable: return ExtractionOutcome::TableNotReadable;
        case TableOutcome::TableCutShort:
        case TableOutcome::NameUnterminated: return ExtractionOutcome::EntryNotReadable;
    }
    // Every name is checked before the first file exists, so a refused name leaves nothing behind.
    if (FindRefusedName(entries)) return ExtractionOutcome::NameRefused;
    if (!target.Prepare()) return ExtractionOutcome::DirectoryNotAccessible;

    std::vector<std::uint8_t> buffer(kCopyChunkBytes);
    for (const UpdateTableEntry& entry : entries) {
        if (!target.Create(*EntryFileName(entry))) return ExtractionOutcome::FileNotCreated;
        const CopyOutcome copied = CopyFileData(source, target, entry.dataLength, buffer);
        // A cut-short file must not stay where a complete patch is expected.
        if (copied != CopyOutcome::Copied || !target.Finish()) {
            target.Discard();
            return copied == CopyOutcome::ReadFailed ? ExtractionOutcome::DataCutShort : ExtractionOutcome::WriteFailed;
        }
    }
    return ExtractionOutcome::Extracted;
}

}  // namespace corvantile
