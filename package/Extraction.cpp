#include "package/Extraction.h"

#include "base/Log.h"
#include "base/UniqueHandles.h"
#include "package/Directories.h"

#include <windows.h>

#include <utility>

namespace corvantile {

namespace {

bool IsDirectory(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The update files go into a directory of the file system, each created new.
class DirectoryTarget final : public ExtractionTarget {
public:
    explicit DirectoryTarget(const std::wstring& outputDir) : outputDir_(outputDir) {}

    bool Prepare() override {
        if (IsDirectory(outputDir_)) return true;
        // EnsureDirectoryChain is content with a file or a device of that name; files cannot go into either.
        return EnsureDirectoryChain(outputDir_.c_str()) == 0 && IsDirectory(outputDir_);
    }

    bool Create(std::u16string_view fileName) override {
        path_ = outputDir_ + L'\\' + std::wstring(fileName.begin(), fileName.end());
        // CREATE_NEW: an existing file is never overwritten.
        file_.reset(::CreateFileW(path_.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file_.valid()) return true;
        error_ = ::GetLastError();
        return false;
    }

    bool Write(const std::uint8_t* bytes, std::uint32_t byteCount) override {
        DWORD written = 0;
        if (!::WriteFile(file_.get(), bytes, byteCount, &written, nullptr)) {
            error_ = ::GetLastError();
            return false;
        }
        if (written == byteCount) return true;
        // Success with fewer bytes written: the disk had no room for the rest.
        error_ = ERROR_DISK_FULL;
        return false;
    }

    bool Finish() override {
        file_.reset();
        return true;
    }

    void Discard() override {
        file_.reset();
        ::DeleteFileW(path_.c_str());
    }

    // The error of the Create or Write that failed.
    [[nodiscard]] DWORD error() const noexcept { return error_; }

private:
    const std::wstring& outputDir_;
    std::wstring path_;
    UniqueFile file_;
    DWORD error_ = ERROR_SUCCESS;
};

const wchar_t* FailureLine(ExtractionOutcome outcome) {
    switch (outcome) {
        case ExtractionOutcome::Extracted: break;
        case ExtractionOutcome::TableNotReadable: return L"Failed to read the update table.";
        case ExtractionOutcome::EntryNotReadable: return L"Failed to read update table entry.";
        // The updater runs elevated: a name with a directory part, a device name or a dot name would write
        // outside the directory or somewhere else than the name says.
        case ExtractionOutcome::NameRefused:
        case ExtractionOutcome::FileNotCreated: return L"Failed to create update file.";
        case ExtractionOutcome::DirectoryNotAccessible: return L"Output directory not accessible.";
        case ExtractionOutcome::DataCutShort: return L"Failed to extract update.";
        case ExtractionOutcome::WriteFailed: return L"Failed to write update file.";
    }
    return nullptr;
}

}  // namespace

std::wstring UpdateFileName(const UpdateTableEntry& entry) {
    const std::u16string_view fileName = EntryFileName(entry).value_or(u"");
    // wchar_t holds UTF-16 code units on Windows, so the name is copied unit by unit.
    return std::wstring(fileName.begin(), fileName.end());
}

int ExtractUpdateFiles(PackageFile& package, const std::wstring& outputDir, UpdateFileList* files,
                       ExtractionFailure* failure) {
    WriteLog(L"Extracting update files.");
    DirectoryTarget target(outputDir);
    UpdateFileList entries;
    const ExtractionOutcome outcome = ExtractFiles(package, target, entries);
    if (outcome != ExtractionOutcome::Extracted) {
        WriteLog(FailureLine(outcome));
        // Only a failed Create or Write sets an error, and either ends the extraction.
        if (failure != nullptr) *failure = {outcome, target.error()};
        return 1;
    }
    if (files != nullptr) *files = std::move(entries);
    return 0;
}

}  // namespace corvantile
