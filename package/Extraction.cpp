#include "package/Extraction.h"

#include "app/Log.h"
#include "app/UniqueHandles.h"
#include "package/Directories.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace corvantile {

namespace {

constexpr DWORD kCopyBufferBytes = 32768;
constexpr DWORD kCountReadBytes = static_cast<DWORD>(kEntryCountBytes);
constexpr DWORD kEntryReadBytes = static_cast<DWORD>(kEntryBytes);

enum class CopyOutcome { Copied, ReadFailed, WriteFailed };

bool IsDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Reads the table at the package cursor. Each entry is checked as it arrives, so a count that the package
// cannot back fails at the first missing entry and costs no more memory than the entries really read.
bool ReadUpdateTable(PackageFile& package, UpdateFileList& entries) {
    std::uint8_t countBytes[kCountReadBytes];
    DWORD delivered = 0;
    if (!package.Read(countBytes, kCountReadBytes, delivered) || delivered != kCountReadBytes) {
        WriteLog(L"Failed to read the update table.");
        return false;
    }
    const std::uint32_t entryCount = ReadLe32(countBytes);
    for (std::uint32_t i = 0; i < entryCount; ++i) {
        EntryBytes record;
        if (!package.Read(record.data(), kEntryReadBytes, delivered) || delivered != kEntryReadBytes) {
            WriteLog(L"Failed to read update table entry.");
            return false;
        }
        UpdateTableEntry entry = DecodeEntry(record.data());
        // A name that fills the record without its NUL has no defined end.
        if (!EntryFileName(entry)) {
            WriteLog(L"Failed to read update table entry.");
            return false;
        }
        entries.push_back(entry);
    }
    return true;
}

// Streams dataLength bytes from the package cursor into the file. A short read is written and the copy
// goes on; a read that delivers nothing means the package ended early.
CopyOutcome CopyFileData(PackageFile& package, HANDLE file, std::uint32_t dataLength, std::uint8_t* buffer) {
    std::uint32_t remainingBytes = dataLength;
    while (remainingBytes > 0) {
        const DWORD requestedBytes = std::min<std::uint32_t>(remainingBytes, kCopyBufferBytes);
        DWORD deliveredBytes = 0;
        if (!package.Read(buffer, requestedBytes, deliveredBytes) || deliveredBytes == 0) {
            return CopyOutcome::ReadFailed;
        }
        DWORD writtenBytes = 0;
        if (!WriteFile(file, buffer, deliveredBytes, &writtenBytes, nullptr) || writtenBytes != deliveredBytes) {
            return CopyOutcome::WriteFailed;
        }
        remainingBytes -= deliveredBytes;
    }
    return CopyOutcome::Copied;
}

}  // namespace

std::wstring UpdateFileName(const UpdateTableEntry& entry) {
    const std::u16string_view fileName = EntryFileName(entry).value_or(u"");
    // wchar_t holds UTF-16 code units on Windows, so the name is copied unit by unit.
    return std::wstring(fileName.begin(), fileName.end());
}

int ExtractUpdateFiles(PackageFile& package, const std::wstring& outputDir, UpdateFileList* files) {
    WriteLog(L"Extracting update files.");

    // The whole table is read before the directory is looked at, so a damaged package creates nothing.
    UpdateFileList entries;
    if (!ReadUpdateTable(package, entries)) return 1;

    if (!IsDirectory(outputDir) && EnsureDirectoryChain(outputDir.c_str()) != 0) {
        WriteLog(L"Output directory not accessible.");
        return 1;
    }

    std::vector<std::uint8_t> copyBuffer(kCopyBufferBytes);
    for (const UpdateTableEntry& entry : entries) {
        // Every name in the list was found terminated when the table was read.
        const std::u16string_view fileName = *EntryFileName(entry);
        // The updater runs elevated: a name with a directory part, a device name or a dot name would write
        // outside the directory or somewhere else than the name says.
        if (CheckPlainFileName(fileName) != FileNameProblem::None) {
            WriteLog(L"Failed to create update file.");
            return 1;
        }
        const std::wstring path = outputDir + L'\\' + UpdateFileName(entry);
        // CREATE_NEW: an existing file is never overwritten.
        UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            WriteLog(L"Failed to create update file.");
            return 1;
        }
        const CopyOutcome outcome = CopyFileData(package, file.get(), entry.dataLength, copyBuffer.data());
        // Closed before the failure is reported: whatever was written stays behind as a closed file.
        file.reset();
        if (outcome == CopyOutcome::ReadFailed) {
            WriteLog(L"Failed to extract update.");
            return 1;
        }
        // A truncated patch must not look like a complete one.
        if (outcome == CopyOutcome::WriteFailed) {
            WriteLog(L"Failed to write update file.");
            return 1;
        }
    }

    if (files != nullptr) *files = std::move(entries);
    return 0;
}

}  // namespace corvantile
