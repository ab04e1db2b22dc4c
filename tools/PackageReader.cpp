#include "tools/PackageReader.h"

#include "package/PackageLayout.h"
#include "tools/FileAccess.h"
#include "tools/TextEncoding.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <system_error>
#include <unordered_map>

namespace corvantile::pack {

namespace {

// Reads the package front to back and never past its end, which is where a certificate table starts.
class PackageCursor {
public:
    PackageCursor(std::istream& file, std::uint64_t position, std::uint64_t end)
        : file_(file), position_(position), end_(end) {}

    [[nodiscard]] std::uint64_t position() const { return position_; }
    [[nodiscard]] std::uint64_t remaining() const { return end_ - position_; }

    [[nodiscard]] bool Read(void* buffer, std::size_t bytes) {
        if (bytes > remaining() || !file_.seekg(static_cast<std::streamoff>(position_))) return false;
        if (!ReadExactly(file_, buffer, bytes)) return false;
        position_ += bytes;
        return true;
    }

    [[nodiscard]] bool Skip(std::uint64_t bytes) {
        if (bytes > remaining()) return false;
        position_ += bytes;
        return true;
    }

    [[nodiscard]] bool ReadHeaderText(std::u16string& text) {
        std::uint8_t length = 0;
        std::array<std::uint8_t, kMaxHeaderTextBytes> bytes{};
        if (!Read(&length, 1) || !Read(bytes.data(), length)) return false;
        text = DecodeHeaderText(bytes.data(), length);
        return true;
    }

private:
    std::istream& file_;
    std::uint64_t position_;
    std::uint64_t end_;
};

bool ReadEntries(PackageCursor& cursor, std::uint32_t entryCount, std::vector<PackageEntry>& entries,
                 std::string& problem) {
    // The count comes from the file: the table must fit into the bytes that are there before it sizes anything.
    if (std::uint64_t{entryCount} * kEntryBytes > cursor.remaining()) {
        problem = "the table of " + std::to_string(entryCount) + " entries does not fit into the package";
        return false;
    }
    std::uint64_t dataOffset = cursor.position() + std::uint64_t{entryCount} * kEntryBytes;
    std::unordered_map<std::u16string, std::uint32_t> firstIndexByKey;
    entries.reserve(entryCount);
    for (std::uint32_t index = 0; index < entryCount; ++index) {
        const std::string entry = "entry " + std::to_string(index);
        EntryBytes bytes{};
        if (!cursor.Read(bytes.data(), bytes.size())) {
            problem = entry + " cannot be read";
            return false;
        }
        const UpdateTableEntry decoded = DecodeEntry(bytes.data());
        const std::optional<std::u16string_view> name = EntryFileName(decoded);
        if (!name) {
            problem = entry + ": the file name has no terminating NUL";
            return false;
        }
        // Names from the file are shown quoted and escaped: they may hold anything.
        if (const FileNameProblem nameProblem = CheckPlainFileName(*name); nameProblem != FileNameProblem::None) {
            problem = entry + ": " + JsonString(*name) + ": " + DescribeFileNameProblem(nameProblem);
            return false;
        }
        const auto [first, unique] = firstIndexByKey.emplace(FileNameCollisionKey(*name), index);
        if (!unique) {
            problem = entry + ": " + JsonString(*name) + " collides with the name of entry " +
                      std::to_string(first->second);
            return false;
        }
        entries.push_back({std::u16string(*name), decoded.dataLength, dataOffset});
        dataOffset += decoded.dataLength;
    }
    return true;
}

// Reads the header and the table at the cursor and checks that the files' data fills the rest of the package:
// it may be followed only by the 0-7 zero bytes that align a certificate table in a signed file.
bool ReadContents(PackageCursor& cursor, bool signedFile, PackageContents& contents, std::string& problem) {
    std::array<std::uint8_t, kEntryCountBytes> count{};
    if (!cursor.ReadHeaderText(contents.productName)) {
        problem = "it ends inside the product name";
        return false;
    }
    if (!cursor.ReadHeaderText(contents.productVersion)) {
        problem = "it ends inside the product version";
        return false;
    }
    if (!cursor.Read(count.data(), count.size())) {
        problem = "it ends inside the entry count";
        return false;
    }
    if (!ReadEntries(cursor, ReadLe32(count.data()), contents.entries, problem)) return false;

    std::uint64_t dataBytes = 0;
    for (const PackageEntry& entry : contents.entries) dataBytes += entry.dataLength;
    if (dataBytes > cursor.remaining()) {
        problem = "the files' data is cut short by " + std::to_string(dataBytes - cursor.remaining()) + " bytes";
        return false;
    }
    const std::uint64_t tailBytes = cursor.remaining() - dataBytes;
    std::array<std::uint8_t, 7> tail{};
    const bool alignmentPadding =
        signedFile && tailBytes <= tail.size() &&
        cursor.Skip(dataBytes) && cursor.Read(tail.data(), static_cast<std::size_t>(tailBytes)) &&
        std::all_of(tail.begin(), tail.end(), [](std::uint8_t b) { return b == 0; });
    if (tailBytes != 0 && !alignmentPadding) {
        problem = std::to_string(tailBytes) + " unexpected bytes follow the last file's data";
        return false;
    }
    return true;
}

}  // namespace

bool ReadPackage(const std::filesystem::path& path, PackageContents& contents, std::string& error) {
    std::ifstream file;
    std::uint64_t fileBytes = 0;
    if (!OpenForReading(path, file, fileBytes, error)) return false;
    const std::string subject = DisplayPath(path) + ": ";
    const std::optional<PeLayout> layout = ReadFileLayout(file, fileBytes);
    if (!layout) {
        error = subject + "not a PE image";
        return false;
    }

    PackageContents read;
    read.packageOffset = layout->imageEnd;
    if (layout->certificateOffset != 0) {
        read.certificate = CertificateTable{layout->certificateOffset, layout->certificateBytes};
        if (read.certificate->offset + read.certificate->bytes > fileBytes) {
            error = subject + "the certificate table reaches past the end of the file";
            return false;
        }
    }
    const std::uint64_t packageEnd = PackageEnd(*layout, fileBytes);
    if (packageEnd <= read.packageOffset) {
        error = subject + "no update package behind the image";
        return false;
    }
    PackageCursor cursor(file, read.packageOffset, packageEnd);
    std::string problem;
    if (!ReadContents(cursor, read.certificate.has_value(), read, problem)) {
        error = subject + "damaged update package: " + problem;
        return false;
    }
    contents = std::move(read);
    return true;
}

bool ExtractPackage(const std::filesystem::path& path, const PackageContents& contents,
                    const std::filesystem::path& directory, std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(directory, ec);
    if (ec) {
        error = DisplayPath(directory) + ": cannot create the directory: " + ec.message();
        return false;
    }
    std::vector<std::filesystem::path> targets;
    for (const PackageEntry& entry : contents.entries) {
        targets.push_back(directory / PathFromUtf16(entry.fileName));
        const std::filesystem::file_status status = std::filesystem::symlink_status(targets.back(), ec);
        if (std::filesystem::exists(status)) {
            error = DisplayPath(targets.back()) + ": exists already; extract does not overwrite files";
            return false;
        }
        if (status.type() != std::filesystem::file_type::not_found) {
            error = DisplayPath(targets.back()) + ": cannot be checked: " + ec.message();
            return false;
        }
    }

    std::ifstream package;
    std::uint64_t packageBytes = 0;
    if (!OpenForReading(path, package, packageBytes, error)) return false;
    std::vector<std::filesystem::path> written;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        const PackageEntry& entry = contents.entries[i];
        CopyResult result = CopyResult::WriteFailed;
        std::ofstream target(targets[i], std::ios::binary);
        if (target) {
            written.push_back(targets[i]);
            result = package.seekg(static_cast<std::streamoff>(entry.dataOffset))
                         ? CopyBytes(package, target, entry.dataLength)
                         : CopyResult::ReadFailed;
            target.close();
            if (result == CopyResult::Copied && !target) result = CopyResult::WriteFailed;
        }
        if (result != CopyResult::Copied) {
            error = result == CopyResult::ReadFailed
                        ? DisplayPath(path) + ": the package changed or can no longer be read"
                        : DisplayPath(targets[i]) + ": cannot be written";
            // Nothing half done stays behind: the files written so far go too.
            for (const std::filesystem::path& file : written) std::filesystem::remove(file, ec);
            return false;
        }
    }
    return true;
}

}  // namespace corvantile::pack
