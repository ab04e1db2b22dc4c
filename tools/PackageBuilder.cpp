#include "tools/PackageBuilder.h"

#include "package/PackageLayout.h"
#include "package/VersionResource.h"
#include "tools/DisplayText.h"
#include "tools/FileAccess.h"
#include "tools/PatchSummary.h"
#include "tools/TextEncoding.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>
#include <random>
#include <system_error>
#include <unordered_map>

namespace corvantile::pack {

namespace {

struct UpdateFile {
    std::filesystem::path path;
    std::u16string name;
    std::uint32_t bytes = 0;
};

// The output while it is written: a temporary file beside it, so that the rename at the end stays on one
// volume, and removed unless Commit renamed it.
class PendingOutput {
public:
    explicit PendingOutput(std::filesystem::path output) : output_(std::move(output)) {}
    PendingOutput(const PendingOutput&) = delete;
    PendingOutput& operator=(const PendingOutput&) = delete;

    ~PendingOutput() {
        if (committed_) return;
        stream_.close();  // Windows cannot delete an open file
        std::error_code ignored;
        std::filesystem::remove(temporary_, ignored);
    }

    [[nodiscard]] bool Create(std::string& error) {
        // A random name keeps concurrent builds of the same output apart.
        std::random_device random;
        const std::uint64_t suffix = (std::uint64_t{random()} << 32) | random();
        std::array<char, 17> hex{};
        for (std::size_t i = 0; i < 16; ++i) hex[i] = "0123456789abcdef"[(suffix >> (4 * i)) & 0xF];
        temporary_ = output_;
        temporary_ += "." + std::string(hex.data()) + ".tmp";
        stream_.open(temporary_, std::ios::binary | std::ios::trunc);
        if (!stream_) error = DisplayPath(temporary_) + ": cannot be created";
        return static_cast<bool>(stream_);
    }

    [[nodiscard]] std::ofstream& stream() { return stream_; }
    [[nodiscard]] std::string WriteFailure() const { return DisplayPath(output_) + ": cannot be written"; }

    [[nodiscard]] bool Commit(std::string& error) {
        stream_.close();
        if (!stream_) {
            error = DisplayPath(temporary_) + ": cannot be written";
            return false;
        }
        std::error_code ec;
        std::filesystem::rename(temporary_, output_, ec);
        if (ec) {
            error = DisplayPath(output_) + ": cannot be replaced: " + ec.message();
            return false;
        }
        committed_ = true;
        return true;
    }

private:
    std::filesystem::path output_;
    std::filesystem::path temporary_;
    std::ofstream stream_;
    bool committed_ = false;
};

bool CheckHeaderText(std::u16string_view text, const char* what, std::string& error) {
    // The dialog reads "update your %s to version %s.": an empty or padded text leaves a gap in it.
    if (text.empty()) {
        error = std::string(what) + " is empty";
        return false;
    }
    if (HasEdgeSpace(text)) {
        error = std::string(what) + " begins or ends with a space";
        return false;
    }
    if (text.size() > kMaxHeaderTextChars) {
        error = std::string(what) + " is longer than " + std::to_string(kMaxHeaderTextChars) + " UTF-16 code units";
        return false;
    }
    // The dialog shows the texts and `list` prints them: a line break or an escape sequence would forge them.
    if (HasControlCharacter(text)) {
        error = std::string(what) + " holds a control character";
        return false;
    }
    return true;
}

// Any other program packed as the stub would make an "updater" that runs and updates nothing.
std::optional<std::string> WhyNoUpdaterStub(std::ifstream& file, std::uint64_t fileBytes) {
    const FileReader read = [&](std::uint64_t offset, std::size_t byteCount, std::uint8_t* buffer) {
        if (offset > fileBytes || byteCount > fileBytes - offset) return false;
        file.clear();
        file.seekg(static_cast<std::streamoff>(offset));
        return ReadExactly(file, buffer, byteCount);
    };
    const std::optional<std::vector<std::uint8_t>> resource = ReadVersionResource(read);
    const std::optional<VersionStrings> strings =
        resource ? ReadVersionStrings(resource->data(), resource->size()) : std::nullopt;
    if (!strings) return "not the updater: it carries no version resource";
    if (strings->productName != kUpdaterProductName) {
        return "not the updater: its product name is \"" + DisplayText(strings->productName) + "\", not \"" +
               DisplayText(kUpdaterProductName) + "\"";
    }
    return std::nullopt;
}

bool CheckStub(const std::filesystem::path& path, std::uint64_t& stubBytes, std::string& error) {
    std::ifstream file;
    if (!OpenForReading(path, file, stubBytes, error)) return false;
    const std::optional<PeLayout> layout = ReadFileLayout(file, stubBytes);
    const std::string subject = DisplayPath(path) + ": ";
    std::optional<std::string> notTheUpdater;
    if (!layout) {
        error = subject + "not a PE image";
    } else if (layout->certificateOffset != 0) {
        error = subject + "already signed; sign the updater after packing";
    } else if (stubBytes > layout->imageEnd) {
        error = subject + std::to_string(stubBytes - layout->imageEnd) +
                " bytes follow its last section (a package, or the symbol table of an unstripped build)";
    } else if (stubBytes < layout->imageEnd) {
        error = subject + "the file ends inside its last section";
    } else if ((notTheUpdater = WhyNoUpdaterStub(file, stubBytes))) {
        error = subject + *notTheUpdater;
    } else {
        return true;
    }
    return false;
}

bool CheckUpdateFile(const std::filesystem::path& path, UpdateFile& file, PatchSummary& summary, std::string& error) {
    const std::string subject = DisplayPath(path) + ": ";
    file.path = path;
    file.name = Utf16FromPath(path.filename());
    const FileNameProblem problem = CheckPlainFileName(file.name);
    const char* spoofing = problem == FileNameProblem::None ? DescribeSpoofingName(file.name) : nullptr;
    if (problem != FileNameProblem::None || spoofing != nullptr) {
        error = subject + "cannot be named in the package: " +
                (spoofing != nullptr ? spoofing : DescribeFileNameProblem(problem));
        return false;
    }
    if (file.name.size() > kMaxUpdateFileNameChars) {
        error = subject + "cannot be named in the package: the name is longer than " +
                std::to_string(kMaxUpdateFileNameChars) +
                " UTF-16 code units, too long for the updater's extracted path to stay within MAX_PATH";
        return false;
    }
    std::ifstream in;
    std::uint64_t fileBytes = 0;
    if (!OpenForReading(path, in, fileBytes, error)) return false;
    if (fileBytes > UINT32_MAX) {
        error = subject + "4 GiB or larger; the package holds files of at most 4 GiB - 1 bytes";
        return false;
    }
    file.bytes = static_cast<std::uint32_t>(fileBytes);
    in.close();
    summary = ReadPatchSummary(path);
    if (!summary.problem.empty()) {
        error = subject + summary.problem;
        return false;
    }
    return true;
}

// Writing the output must not replace what it is made from, whichever spelling or link names it.
bool CheckOutputIsNoInput(const BuildRequest& request, std::string& error) {
    const auto same = [&](const std::filesystem::path& input) {
        std::error_code ec;
        return std::filesystem::equivalent(request.output, input, ec) && !ec;
    };
    const std::string subject = DisplayPath(request.output) + ": ";
    if (same(request.stub)) {
        error = subject + "is the same file as the stub " + DisplayPath(request.stub);
        return false;
    }
    for (const std::filesystem::path& input : request.updateFiles) {
        if (same(input)) {
            error = subject + "is the same file as the update file " + DisplayPath(input);
            return false;
        }
    }
    return true;
}

std::vector<std::uint8_t> EncodePackageHeader(const BuildRequest& request, const std::vector<UpdateFile>& files) {
    std::vector<std::uint8_t> header = EncodeHeaderText(request.productName);
    const std::vector<std::uint8_t> version = EncodeHeaderText(request.productVersion);
    header.insert(header.end(), version.begin(), version.end());
    std::array<std::uint8_t, kEntryCountBytes> count{};
    WriteLe32(count.data(), static_cast<std::uint32_t>(files.size()));
    header.insert(header.end(), count.begin(), count.end());
    for (const UpdateFile& file : files) {
        const EntryBytes entry = EncodeEntry(MakeEntry(file.name, file.bytes));
        header.insert(header.end(), entry.begin(), entry.end());
    }
    return header;
}

// Appends the first `bytes` bytes of the file; those are the bytes that were checked.
bool AppendFile(const std::filesystem::path& path, std::uint64_t bytes, PendingOutput& output, std::string& error) {
    std::ifstream in;
    std::uint64_t fileBytes = 0;
    if (!OpenForReading(path, in, fileBytes, error)) return false;
    switch (CopyBytes(in, output.stream(), bytes)) {
        case CopyResult::Copied: return true;
        case CopyResult::ReadFailed: error = DisplayPath(path) + ": cannot be read, or shrank while packing"; break;
        case CopyResult::WriteFailed: error = output.WriteFailure(); break;
    }
    return false;
}

}  // namespace

bool BuildPackage(const BuildRequest& request, std::vector<std::string>& warnings, std::string& error) {
    if (!CheckHeaderText(request.productName, "the product name", error) ||
        !CheckHeaderText(request.productVersion, "the product version", error) ||
        !CheckOutputIsNoInput(request, error)) {
        return false;
    }
    std::uint64_t stubBytes = 0;
    if (!CheckStub(request.stub, stubBytes, error)) return false;
    if (request.updateFiles.size() > UINT32_MAX) {
        error = "too many update files";
        return false;
    }
    std::vector<UpdateFile> files(request.updateFiles.size());
    std::vector<NamedPatch> patches(files.size());
    std::unordered_map<std::u16string, std::size_t> indexByKey;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (!CheckUpdateFile(request.updateFiles[i], files[i], patches[i].summary, error)) return false;
        patches[i].name = DisplayPath(files[i].path);
        const auto [first, unique] = indexByKey.emplace(FileNameCollisionKey(files[i].name), i);
        if (!unique) {
            const std::filesystem::path& earlier = files[first->second].path;
            std::error_code ec;
            if (std::filesystem::equivalent(files[i].path, earlier, ec) && !ec) {
                error = DisplayPath(files[i].path) + ": is given twice" +
                        (files[i].path == earlier ? "" : " (also as " + DisplayPath(earlier) + ")");
            } else {
                error = DisplayPath(files[i].path) + ": its name collides with " + DisplayPath(earlier) +
                        " (names are compared without regard to case)";
            }
            return false;
        }
    }
    if (!CheckPatchSet(patches, warnings, error)) return false;

    PendingOutput output(request.output);
    if (!output.Create(error) || !AppendFile(request.stub, stubBytes, output, error)) return false;
    const std::vector<std::uint8_t> header = EncodePackageHeader(request, files);
    if (!output.stream().write(reinterpret_cast<const char*>(header.data()),
                               static_cast<std::streamsize>(header.size()))) {
        error = output.WriteFailure();
        return false;
    }
    for (const UpdateFile& file : files) {
        if (!AppendFile(file.path, file.bytes, output, error)) return false;
    }
    return output.Commit(error);
}

}  // namespace corvantile::pack
