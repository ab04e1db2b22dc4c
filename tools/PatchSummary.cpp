#include "tools/PatchSummary.h"

#include "engine/PatchCatalogue.h"
#include "package/PackageLayout.h"
#include "tools/FileAccess.h"
#include "tools/TextEncoding.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <numeric>
#include <random>
#include <system_error>

namespace corvantile::pack {

namespace {

// {000C10xx-0000-0000-C000-000000000046}: the Installer's storage classes differ in their first byte.
constexpr std::uint8_t kTransformClass = 0x82;
constexpr std::uint8_t kDatabaseClass = 0x84;
constexpr std::uint8_t kPatchClass = 0x86;
constexpr ClassId kInstallerClassTail{0, 0x10, 0x0C, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};

constexpr std::size_t kGuidChars = 38;  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}

bool IsHexDigit(char16_t c) { return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F'); }

bool BeginsWithGuid(std::u16string_view text) {
    if (text.size() < kGuidChars || text[0] != u'{' || text[kGuidChars - 1] != u'}') return false;
    for (std::size_t i = 1; i < kGuidChars - 1; ++i) {
        const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash ? text[i] != u'-' : !IsHexDigit(text[i])) return false;
    }
    return true;
}

// GUIDs name the same patch whatever the case of their hex digits.
std::u16string UpperAscii(std::u16string text) {
    for (char16_t& c : text) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
    }
    return text;
}

// Split as the updater splits it, so that the tool shows exactly the product codes that the updater queries.
std::vector<std::u16string> SplitTargets(std::u16string_view text) {
    std::vector<std::wstring> pieces;
    SplitOnSemicolon(std::wstring(text.begin(), text.end()), pieces);
    std::vector<std::u16string> codes;
    for (const std::wstring& piece : pieces) codes.emplace_back(piece.begin(), piece.end());
    return codes;
}

const char* DescribeOtherKind(StorageKind kind) {
    switch (kind) {
        case StorageKind::ProductDatabase: return "not a patch package (a product database)";
        case StorageKind::Transform: return "not a patch package (a transform)";
        case StorageKind::Other:
        case StorageKind::Patch: break;
    }
    return "not a patch package (a compound file of another kind)";
}

PatchSummary Problem(std::string problem) {
    PatchSummary summary;
    summary.problem = std::move(problem);
    return summary;
}

// A copy of part of a file in the temporary directory, removed with its owner.
class TemporaryCopy {
public:
    TemporaryCopy() = default;
    TemporaryCopy(const TemporaryCopy&) = delete;
    TemporaryCopy& operator=(const TemporaryCopy&) = delete;
    ~TemporaryCopy() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove(path_, ignored);
    }

    [[nodiscard]] bool Make(const std::filesystem::path& source, std::uint64_t offset, std::uint64_t bytes) {
        std::error_code ec;
        const std::filesystem::path directory = std::filesystem::temp_directory_path(ec);
        if (ec) return false;
        std::random_device random;
        path_ = directory / ("corvantile-pack-" + std::to_string(random()) + std::to_string(random()) + ".msp");
        std::ifstream in;
        std::uint64_t sourceBytes = 0;
        std::string ignored;
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        if (!out || !OpenForReading(source, in, sourceBytes, ignored)) return false;
        if (!in.seekg(static_cast<std::streamoff>(offset)) || CopyBytes(in, out, bytes) != CopyResult::Copied) {
            return false;
        }
        out.close();
        return static_cast<bool>(out);
    }
    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace

StorageKind StorageKindOf(const ClassId& classId) {
    if (!std::equal(classId.begin() + 1, classId.end(), kInstallerClassTail.begin() + 1)) return StorageKind::Other;
    switch (classId[0]) {
        case kPatchClass: return StorageKind::Patch;
        case kDatabaseClass: return StorageKind::ProductDatabase;
        case kTransformClass: return StorageKind::Transform;
        default: return StorageKind::Other;
    }
}

PatchSummary SummarizePatch(const SummaryFacts& facts) {
    if (facts.kind != StorageKind::Patch) return Problem(DescribeOtherKind(facts.kind));
    PatchSummary summary;
    summary.patch = true;
    if (facts.targets) summary.targetProductCodes = SplitTargets(*facts.targets);
    if (facts.revisionNumber && BeginsWithGuid(*facts.revisionNumber)) {
        summary.patchCode = facts.revisionNumber->substr(0, kGuidChars);
    }
    const bool namesAProduct = std::any_of(summary.targetProductCodes.begin(), summary.targetProductCodes.end(),
                                           [](const std::u16string& code) { return !code.empty(); });
    if (!namesAProduct) {
        summary.problem = "a patch package whose list of target products is empty";
    } else if (summary.patchCode.empty()) {
        summary.problem = "a patch package whose revision number does not begin with a patch code";
    }
    return summary;
}

PatchSummary ReadPatchSummary(const std::filesystem::path& path) {
    std::ifstream file;
    std::uint64_t fileBytes = 0;
    std::string error;
    if (!OpenForReading(path, file, fileBytes, error)) return Problem("cannot be read");
    std::array<std::uint8_t, kCompoundFileSignature.size()> signature{};
    if (!ReadExactly(file, signature.data(), signature.size()) || signature != kCompoundFileSignature) {
        return Problem("not a patch package (no compound-file signature)");
    }
    file.close();
    SummaryFacts facts;
    switch (ReadSummaryFacts(path, facts)) {
        case SummaryRead::Read: return SummarizePatch(facts);
        case SummaryRead::DamagedStorage: return Problem("not a patch package (a damaged compound file)");
        case SummaryRead::SummaryUnreadable: break;
        case SummaryRead::InstallerUnavailable: return Problem("the Windows Installer cannot be loaded to read it");
    }
    PatchSummary summary = Problem("a patch package whose summary information cannot be read");
    summary.patch = true;
    return summary;
}

PatchSummary ReadPackedPatchSummary(const std::filesystem::path& package, std::uint64_t offset, std::uint64_t bytes) {
    TemporaryCopy copy;
    if (!copy.Make(package, offset, bytes)) return Problem("cannot be copied to the temporary directory to be read");
    return ReadPatchSummary(copy.path());
}

bool CheckPatchSet(const std::vector<NamedPatch>& patches, std::vector<std::string>& warnings, std::string& error) {
    std::map<std::u16string, std::size_t> firstByCode;
    for (std::size_t i = 0; i < patches.size(); ++i) {
        const PatchSummary& summary = patches[i].summary;
        const auto [first, unique] = firstByCode.emplace(UpperAscii(summary.patchCode), i);
        if (!unique) {
            error = patches[i].name + ": has the patch code " + Utf8FromUtf16(summary.patchCode) + " of " +
                    patches[first->second].name + "; the Installer would take them for one patch";
            return false;
        }
    }

    // Patches that share a target product, directly or through others, form one group.
    std::vector<std::size_t> group(patches.size());
    std::iota(group.begin(), group.end(), std::size_t{0});
    const auto root = [&](std::size_t i) {
        while (group[i] != i) i = group[i];
        return i;
    };
    std::map<std::u16string, std::size_t> patchByTarget;
    for (std::size_t i = 0; i < patches.size(); ++i) {
        for (const std::u16string& target : patches[i].summary.targetProductCodes) {
            if (target.empty()) continue;  // names no product, so links no patches
            const auto [other, added] = patchByTarget.emplace(target, i);
            if (!added) group[root(i)] = root(other->second);
        }
    }
    std::map<std::size_t, std::size_t> groupByRoot;  // in the order of each group's first patch
    std::vector<std::string> groups;
    for (std::size_t i = 0; i < patches.size(); ++i) {
        const auto [known, added] = groupByRoot.emplace(root(i), groups.size());
        if (added) groups.emplace_back();
        std::string& names = groups[known->second];
        names += (names.empty() ? "" : ", ") + patches[i].name;
    }
    if (groups.size() > 1) {
        std::string text;
        for (const std::string& names : groups) text += (text.empty() ? "" : " | ") + names;
        warnings.push_back("the update files fall into " + std::to_string(groups.size()) +
                           " groups that share no target product: " + text);
    }
    return true;
}

}  // namespace corvantile::pack
