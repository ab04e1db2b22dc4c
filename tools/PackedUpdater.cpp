#include "tools/PackedUpdater.h"

#include "package/PackageLayout.h"
#include "package/PackageReader.h"
#include "tools/FileAccess.h"
#include "tools/TextEncoding.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <system_error>

namespace corvantile::pack {

namespace {

namespace fs = std::filesystem;

// The package in a file, from its first byte to its end, which is where a certificate table starts.
class StreamPackageSource final : public PackageSource {
public:
    StreamPackageSource(std::istream& file, std::uint64_t position, std::uint64_t end)
        : file_(file), position_(position), end_(end) {}

    bool Read(void* buffer, std::uint32_t bytes, std::uint32_t& delivered) override {
        delivered = 0;
        const std::uint64_t allowed = std::min<std::uint64_t>(bytes, Remaining());
        if (allowed == 0) return true;
        if (!file_.seekg(static_cast<std::streamoff>(position_))) return false;
        file_.read(static_cast<char*>(buffer), static_cast<std::streamsize>(allowed));
        delivered = static_cast<std::uint32_t>(file_.gcount());
        position_ += delivered;
        return !file_.bad();
    }

    std::uint64_t Remaining() const override { return end_ > position_ ? end_ - position_ : 0; }

    [[nodiscard]] std::uint64_t position() const { return position_; }

    void Skip(std::uint64_t bytes) { position_ += std::min(bytes, Remaining()); }

private:
    std::istream& file_;
    std::uint64_t position_;
    std::uint64_t end_;
};

// A signer aligns the certificate table to 8 bytes with zeros; nothing else may follow the data.
bool IsAlignmentPadding(StreamPackageSource& source, std::uint64_t tailBytes) {
    std::array<std::uint8_t, 7> tail{};
    std::uint32_t delivered = 0;
    return tailBytes <= tail.size() && source.Read(tail.data(), static_cast<std::uint32_t>(tailBytes), delivered) &&
           delivered == tailBytes && std::all_of(tail.begin(), tail.end(), [](std::uint8_t b) { return b == 0; });
}

// Reads the header and the table at the cursor and checks the names and the files' data against the end of
// the package.
bool ReadContents(StreamPackageSource& source, bool signedFile, PackageContents& contents, std::string& problem) {
    PackageHeader header;
    switch (ReadPackageHeader(source, header)) {
        case HeaderOutcome::Read: break;
        case HeaderOutcome::ProductNameNotReadable: problem = "it ends inside the product name"; return false;
        case HeaderOutcome::VersionNotReadable: problem = "it ends inside the product version"; return false;
    }
    contents.productName = std::move(header.productName);
    contents.productVersion = std::move(header.productVersion);

    UpdateFileList entries;
    const TableRead table = ReadUpdateTable(source, entries);
    switch (table.outcome) {
        case TableOutcome::Read: break;
        case TableOutcome::CountNotReadable: problem = "it ends inside the entry count"; return false;
        case TableOutcome::TableCutShort:
            problem = "the table of " + std::to_string(table.entryCount) + " entries does not fit into the package";
            return false;
        case TableOutcome::NameUnterminated:
            problem = "entry " + std::to_string(table.failedEntry) + ": the file name has no terminating NUL";
            return false;
    }
    if (const std::optional<NameRefusal> refusal = FindRefusedName(entries)) {
        // Names from the file are shown quoted and escaped: they may hold anything.
        problem =
            "entry " + std::to_string(refusal->entry) + ": " + JsonString(*EntryFileName(entries[refusal->entry]));
        problem += refusal->problem != FileNameProblem::None
                       ? ": " + std::string(DescribeFileNameProblem(refusal->problem))
                       : " collides with the name of entry " + std::to_string(refusal->earlierEntry);
        return false;
    }

    const DataExtent extent = CheckDataExtent(entries, source.Remaining());
    std::uint64_t dataOffset = source.position();
    if (extent.fit == DataFit::CutShort) {
        // In a signed file the package ends where the certificate table starts, so it is the table that cuts
        // the data short.
        problem = signedFile ? "the certificate table starts " + std::to_string(extent.bytes) +
                                   " bytes before the end of the files' data"
                             : "the files' data is cut short by " + std::to_string(extent.bytes) + " bytes";
        return false;
    }
    if (extent.fit == DataFit::FollowedByMore) {
        source.Skip(source.Remaining() - extent.bytes);
        if (!signedFile || !IsAlignmentPadding(source, extent.bytes)) {
            problem = std::to_string(extent.bytes) + " unexpected bytes follow the last file's data";
            return false;
        }
    }
    for (const UpdateTableEntry& entry : entries) {
        contents.entries.push_back({std::u16string(*EntryFileName(entry)), entry.dataLength, dataOffset});
        dataOffset += entry.dataLength;
    }
    return true;
}

// The directory that extract writes into. It remembers what it made, so that a failed extraction can take
// all of it away again; the files it completed are kept only when every file was.
class DirectoryTarget final : public ExtractionTarget {
public:
    explicit DirectoryTarget(const fs::path& directory) : directory_(directory) {}

    bool Prepare() override {
        std::vector<fs::path> missing;
        std::error_code ec;
        for (fs::path level = directory_; !level.empty() && !fs::exists(fs::symlink_status(level, ec));
             level = level.parent_path()) {
            missing.push_back(level);
            if (level == level.parent_path()) break;
        }
        for (auto level = missing.rbegin(); level != missing.rend(); ++level) {
            if (fs::create_directory(*level, ec)) createdDirectories_.push_back(*level);
            if (ec) {
                problem_ = DisplayPath(directory_) + ": cannot create the directory: " + ec.message();
                return false;
            }
        }
        if (!fs::is_directory(directory_, ec)) {
            problem_ = DisplayPath(directory_) + ": not a directory";
            return false;
        }
        return true;
    }

    bool Create(std::u16string_view fileName) override {
        path_ = directory_ / PathFromUtf16(fileName);
        std::string reason;
        if (file_.Create(path_, reason)) return true;
        problem_ = DisplayPath(path_) + ": " + reason;
        return false;
    }

    bool Write(const std::uint8_t* bytes, std::uint32_t byteCount) override {
        if (file_.Write(bytes, byteCount)) return true;
        problem_ = DisplayPath(path_) + ": cannot be written";
        return false;
    }

    bool Finish() override {
        if (!file_.Close()) {
            problem_ = DisplayPath(path_) + ": cannot be written";
            return false;
        }
        finishedFiles_.push_back(path_);
        return true;
    }

    void Discard() override {
        (void)file_.Close();
        std::error_code ignored;
        fs::remove(path_, ignored);
    }

    // Removes the files it finished and then the directories it created, deepest first. Only files it
    // created itself are ever removed.
    void RemoveWhatItMade() {
        std::error_code ignored;
        for (const fs::path& file : finishedFiles_) fs::remove(file, ignored);
        for (auto level = createdDirectories_.rbegin(); level != createdDirectories_.rend(); ++level) {
            fs::remove(*level, ignored);
        }
    }

    [[nodiscard]] const std::string& problem() const { return problem_; }

private:
    fs::path directory_;
    fs::path path_;
    NewFile file_;
    std::vector<fs::path> createdDirectories_;
    std::vector<fs::path> finishedFiles_;
    std::string problem_;
};

}  // namespace

std::string DescribeDamagedSignature(const CertificateTable& table, std::uint64_t fileBytes) {
    return "the signature is damaged: its certificate table (" + std::to_string(table.bytes) + " bytes at offset " +
           std::to_string(table.offset) + ") reaches past the end of the file of " + std::to_string(fileBytes) +
           " bytes";
}

bool ReadPackage(std::istream& file, std::uint64_t fileBytes, PackageContents& contents, std::string& problem) {
    const std::optional<PeLayout> layout = ReadFileLayout(file, fileBytes);
    if (!layout) {
        problem = "not a PE image";
        return false;
    }
    PackageContents read;
    read.fileBytes = fileBytes;
    read.packageOffset = layout->imageEnd;
    read.packageEnd = PackageEnd(*layout, fileBytes);
    if (layout->certificateOffset != 0) {
        read.certificate =
            CertificateTable{layout->certificateOffset, layout->certificateBytes,
                             std::uint64_t{layout->certificateOffset} + layout->certificateBytes > fileBytes};
    }
    if (!HasPackage(*layout, fileBytes)) {
        problem = "no update package behind the image";
        return false;
    }
    StreamPackageSource source(file, read.packageOffset, read.packageEnd);
    std::string damage;
    if (!ReadContents(source, read.certificate.has_value(), read, damage)) {
        // What lies behind a table said to reach past the file is no longer a signer's padding.
        problem = read.certificate && read.certificate->reachesPastFileEnd
                      ? DescribeDamagedSignature(*read.certificate, fileBytes)
                      : "damaged update package: " + damage;
        return false;
    }
    contents = std::move(read);
    return true;
}

bool ReadPackage(const fs::path& path, PackageContents& contents, std::string& error) {
    std::ifstream file;
    std::uint64_t fileBytes = 0;
    if (!OpenForReading(path, file, fileBytes, error)) return false;
    std::string problem;
    if (ReadPackage(file, fileBytes, contents, problem)) return true;
    error = DisplayPath(path) + ": " + problem;
    return false;
}

bool ExtractPackage(const fs::path& path, const PackageContents& contents, const fs::path& directory,
                    std::string& error) {
    // A file in the way is named before anything is made; creating each file new still guards against one
    // that appears meanwhile.
    std::error_code ec;
    for (const PackageEntry& entry : contents.entries) {
        const fs::path target = directory / PathFromUtf16(entry.fileName);
        const fs::file_status status = fs::symlink_status(target, ec);
        if (fs::exists(status)) {
            error = DisplayPath(target) + ": exists already; extract does not overwrite files";
            return false;
        }
        if (status.type() != fs::file_type::not_found) {
            error = DisplayPath(target) + ": cannot be checked: " + ec.message();
            return false;
        }
    }

    std::ifstream file;
    std::uint64_t fileBytes = 0;
    if (!OpenForReading(path, file, fileBytes, error)) return false;
    StreamPackageSource source(file, contents.packageOffset, contents.packageEnd);
    DirectoryTarget target(directory);
    PackageHeader header;
    UpdateFileList entries;
    const ExtractionOutcome outcome = ReadPackageHeader(source, header) == HeaderOutcome::Read
                                          ? ExtractFiles(source, target, entries)
                                          : ExtractionOutcome::TableNotReadable;
    switch (outcome) {
        case ExtractionOutcome::Extracted: return true;
        case ExtractionOutcome::TableNotReadable:
        case ExtractionOutcome::EntryNotReadable:
        case ExtractionOutcome::NameRefused:
        case ExtractionOutcome::DataCutShort:
            error = DisplayPath(path) + ": the package changed or can no longer be read";
            break;
        case ExtractionOutcome::DirectoryNotAccessible:
        case ExtractionOutcome::FileNotCreated:
        case ExtractionOutcome::WriteFailed: error = target.problem(); break;
    }
    target.RemoveWhatItMade();
    return false;
}

}  // namespace corvantile::pack
