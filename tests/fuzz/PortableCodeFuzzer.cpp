// Feeds arbitrary bytes to the portable code that reads what the updater does not control: whole packed
// updaters (read by the updater's extraction into memory and by the packing tool's reader, which must
// agree), the PE headers and update records of a package, the command line, and what patches and the
// Installer report to the engine; and to the packing tool's judgement of summary texts and its display of
// package texts.
#include "app/CommandLine.h"
#include "base/FormatBounded.h"
#include "engine/PatchCatalogue.h"
#include "engine/PatchOrder.h"
#include "package/PackageLayout.h"
#include "package/PackageReader.h"
#include "tools/DisplayText.h"
#include "tools/PackedUpdater.h"
#include "tools/PatchSummary.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace corvantile {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Files in memory. Refuses what a directory would refuse, fails its writes once `writeBudget` bytes are
// written, and traps on anything the extraction must never ask of it.
class MemoryTarget final : public ExtractionTarget {
public:
    explicit MemoryTarget(std::uint64_t writeBudget) : writeBudget_(writeBudget) {}

    bool Prepare() override {
        if (prepared_ || !files_.empty()) __builtin_trap();
        prepared_ = true;
        return true;
    }
    bool Create(std::u16string_view fileName) override {
        if (!prepared_ || open_ != nullptr) __builtin_trap();
        if (CheckPlainFileName(fileName) != FileNameProblem::None) __builtin_trap();
        if (!keys_.insert(FileNameCollisionKey(fileName)).second) __builtin_trap();
        name_ = fileName;
        open_ = &files_[name_];
        return true;
    }
    bool Write(const std::uint8_t* bytes, std::uint32_t byteCount) override {
        if (open_ == nullptr || byteCount == 0 || byteCount > kCopyChunkBytes) __builtin_trap();
        if (byteCount > writeBudget_) return false;
        writeBudget_ -= byteCount;
        open_->insert(open_->end(), bytes, bytes + byteCount);
        return true;
    }
    bool Finish() override {
        if (open_ == nullptr) __builtin_trap();
        open_ = nullptr;
        finished_.push_back(name_);
        return true;
    }
    void Discard() override {
        if (open_ == nullptr) __builtin_trap();
        open_ = nullptr;
        files_.erase(name_);
    }

    [[nodiscard]] bool openFile() const { return open_ != nullptr; }
    [[nodiscard]] const std::map<std::u16string, Bytes>& files() const { return files_; }
    [[nodiscard]] const std::vector<std::u16string>& finished() const { return finished_; }

private:
    std::uint64_t writeBudget_;
    bool prepared_ = false;
    std::map<std::u16string, Bytes> files_;
    std::unordered_set<std::u16string> keys_;
    std::vector<std::u16string> finished_;
    std::u16string name_;
    Bytes* open_ = nullptr;
};

// A whole packed updater, as the updater reads its own file and as the packing tool lists it. The last two
// bytes choose how short the updater's reads are and after how many bytes its writes fail.
void FuzzPackedUpdater(const std::uint8_t* data, std::size_t size) {
    const std::optional<PeLayout> layout = ReadPeLayout(data, std::min<std::size_t>(size, 65536));
    if (!layout || size < 2) return;
    const std::uint64_t packageEnd = PackageEnd(*layout, size);

    std::istringstream file(std::string(reinterpret_cast<const char*>(data), size));
    pack::PackageContents listed;
    std::string problem;
    const bool listable = pack::ReadPackage(file, size, listed, problem);
    if (!HasPackage(*layout, size)) {
        if (listable) __builtin_trap();
        return;
    }

    const std::uint32_t shortReads = 1 + std::uint32_t{data[size - 1]} * 129;
    const std::uint64_t failingWrites = data[size - 2] < 32 ? std::uint64_t{data[size - 2]} * 1024 : UINT64_MAX;
    for (const bool whole : {true, false}) {
        MemoryPackageSource source(data + layout->imageEnd, packageEnd - layout->imageEnd,
                                   whole ? UINT32_MAX : shortReads);
        PackageHeader header;
        // The header's reads must each deliver in full, so short reads may well end the run here.
        if (ReadPackageHeader(source, header) != HeaderOutcome::Read) {
            if (listable && whole) __builtin_trap();
            continue;
        }
        if (listable && (header.productName != listed.productName || header.productVersion != listed.productVersion)) {
            __builtin_trap();
        }
        MemoryTarget target(whole ? UINT64_MAX : failingWrites);
        UpdateFileList entries;
        const ExtractionOutcome outcome = ExtractFiles(source, target, entries);
        if (target.openFile()) __builtin_trap();
        // Every file that stays is complete: finished, and as long as its entry says.
        if (target.files().size() != target.finished().size()) __builtin_trap();
        for (std::size_t i = 0; i < target.finished().size(); ++i) {
            if (target.files().at(target.finished()[i]).size() != entries.at(i).dataLength) __builtin_trap();
        }
        const bool extracted = outcome == ExtractionOutcome::Extracted;
        if (extracted && target.finished().size() != entries.size()) __builtin_trap();
        // What the packing tool lists, the updater extracts, byte for byte where the tool says.
        if (!listable || !whole) continue;
        if (!extracted || entries.size() != listed.entries.size()) __builtin_trap();
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const pack::PackageEntry& entry = listed.entries[i];
            if (*EntryFileName(entries[i]) != entry.fileName) __builtin_trap();
            const Bytes& written = target.files().at(entry.fileName);
            if (entry.dataOffset + written.size() > size ||
                !std::equal(written.begin(), written.end(), data + entry.dataOffset)) {
                __builtin_trap();
            }
        }
    }
}

void FuzzPackageBytes(const std::uint8_t* data, std::size_t size) {
    if (const auto layout = ReadPeLayout(data, size)) (void)PackageEnd(*layout, size);
    if (size >= kEntryBytes) {
        const UpdateTableEntry entry = DecodeEntry(data);
        if (const auto name = EntryFileName(entry)) {
            (void)CheckPlainFileName(*name);
            if (EncodeEntry(entry) != EncodeEntry(DecodeEntry(data))) __builtin_trap();
        }
    }
    const std::size_t textBytes = size > 0 ? data[0] : 0;
    if (size > textBytes) {
        const std::u16string text = DecodeHeaderText(data + 1, textBytes);
        if (EncodeHeaderText(text).size() != 1 + 2 * text.size()) __builtin_trap();
    }
}

// Splits the bytes at NULs into wide arguments, as the program would receive them.
void FuzzCommandLine(const std::uint8_t* data, std::size_t size) {
    std::vector<std::wstring> arguments{L"Update.exe", L""};
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            arguments.emplace_back();
        } else {
            arguments.back() += static_cast<wchar_t>(data[i]);
        }
    }
    std::vector<const wchar_t*> pointers;
    for (const std::wstring& argument : arguments) pointers.push_back(argument.c_str());
    CommandLineSettings settings;
    ParseCommandLine(static_cast<int>(pointers.size()), pointers.data(), settings,
                     [] { return std::optional<std::wstring>(L"C:\\dir\\Update.exe"); });

    wchar_t buffer[16];
    const std::int32_t result = FormatBounded(buffer, 16, L"%s|%u", arguments.back().c_str(), 7U);
    if (std::wstring(buffer).size() > 15 || (result != kFormatOk && result != kFormatInsufficientBuffer)) {
        __builtin_trap();
    }
}

// A patch template made of the bytes, and a sequencing result made of 8-byte records.
void FuzzEngineInputs(const std::uint8_t* data, std::size_t size) {
    std::wstring patchTemplate;
    for (std::size_t i = 0; i + 1 < size; i += 2) patchTemplate += static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
    PatchCatalogue catalogue;
    AddPatchTargets(catalogue, patchTemplate, 7);
    std::size_t indices = 0;
    for (const auto& entry : catalogue) indices += entry.second.size();
    std::vector<std::wstring> pieces;
    SplitOnSemicolon(patchTemplate, pieces);
    if (indices != pieces.size()) __builtin_trap();

    std::vector<SequencedPatch> sequence;
    for (std::size_t i = 0; i + 8 <= size; i += 8) {
        sequence.push_back({static_cast<std::int32_t>(ReadLe32(data + i)), ReadLe32(data + i + 4)});
    }
    const std::vector<std::size_t> order = ApplicationOrder(sequence);
    std::size_t applicable = 0;
    for (const SequencedPatch& patch : sequence) applicable += patch.status == 0 && patch.order >= 0;
    if (order.size() != applicable) __builtin_trap();
    for (const std::size_t index : order) {
        if (sequence.at(index).status != 0 || sequence[index].order < 0) __builtin_trap();
    }
    // By order, and patches of equal order as the Installer listed them.
    const auto byOrderThenPosition = [&](std::size_t a, std::size_t b) {
        return std::pair(sequence[a].order, a) < std::pair(sequence[b].order, b);
    };
    if (!std::is_sorted(order.begin(), order.end(), byOrderThenPosition)) __builtin_trap();
}

// The bytes as UTF-16: what a package or a patch's summary may hold.
void FuzzPackToolTexts(const std::uint8_t* data, std::size_t size) {
    std::u16string text;
    for (std::size_t i = 0; i + 1 < size; i += 2) text += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    // Nothing a terminal acts on, and no right-to-left override, may reach the listing.
    const std::string shown = pack::DisplayText(text);
    for (const char c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) __builtin_trap();
    }
    if (shown.find("\xE2\x80\xAE") != std::string::npos || shown.find("\xC2\x85") != std::string::npos)
        __builtin_trap();

    const std::size_t split = text.empty() ? 0 : text[0] % (text.size() + 1);
    const std::u16string targets = text.substr(0, split);
    const pack::PatchSummary summary = pack::SummarizePatch({pack::StorageKind::Patch, targets, text.substr(split)});
    // The tool lists exactly the pieces that the updater queries, empty ones included.
    std::vector<std::wstring> pieces;
    SplitOnSemicolon(std::wstring(targets.begin(), targets.end()), pieces);
    if (pieces.size() != summary.targetProductCodes.size()) __builtin_trap();
    bool namesAProduct = false;
    for (std::size_t i = 0; i < pieces.size(); ++i) {
        const std::u16string& target = summary.targetProductCodes[i];
        if (std::wstring(target.begin(), target.end()) != pieces[i]) __builtin_trap();
        namesAProduct = namesAProduct || !target.empty();
    }
    if (!summary.patchCode.empty() && summary.patchCode.size() != 38) __builtin_trap();
    if (summary.problem.empty() != (namesAProduct && !summary.patchCode.empty())) __builtin_trap();
    std::vector<std::string> warnings;
    std::string error;
    (void)pack::CheckPatchSet({{"a", summary}, {"b", summary}}, warnings, error);
}

}  // namespace
}  // namespace corvantile

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    if (size >= 2 && data[0] == 'M' && data[1] == 'Z') {
        corvantile::FuzzPackedUpdater(data, size);
        return 0;
    }
    switch (data[0] % 4) {
        case 0: corvantile::FuzzCommandLine(data + 1, size - 1); break;
        case 1: corvantile::FuzzPackageBytes(data + 1, size - 1); break;
        case 2: corvantile::FuzzEngineInputs(data + 1, size - 1); break;
        default: corvantile::FuzzPackToolTexts(data + 1, size - 1); break;
    }
    return 0;
}
