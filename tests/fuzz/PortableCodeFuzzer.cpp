// Feeds arbitrary bytes to the portable code that reads what the updater does not control: the PE headers
// and update records of a package, the command line, and what patches and the Installer report to the engine;
// and to the packing tool's judgement of summary texts and its display of package texts.
#include "app/CommandLine.h"
#include "app/FormatBounded.h"
#include "engine/PatchCatalogue.h"
#include "engine/PatchOrder.h"
#include "package/PackageLayout.h"
#include "tools/DisplayText.h"
#include "tools/PatchSummary.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace {

void FuzzPackageBytes(const std::uint8_t* data, std::size_t size) {
    if (const auto layout = corvantile::ReadPeLayout(data, size)) {
        (void)corvantile::PackageEnd(*layout, size);
    }
    if (size >= corvantile::kEntryBytes) {
        const corvantile::UpdateTableEntry entry = corvantile::DecodeEntry(data);
        if (const auto name = corvantile::EntryFileName(entry)) {
            (void)corvantile::CheckPlainFileName(*name);
            if (corvantile::EncodeEntry(entry) != corvantile::EncodeEntry(corvantile::DecodeEntry(data))) __builtin_trap();
        }
    }
    const std::size_t textBytes = size > 0 ? data[0] : 0;
    if (size > textBytes) {
        const std::u16string text = corvantile::DecodeHeaderText(data + 1, textBytes);
        const auto encoded = corvantile::EncodeHeaderText(text);
        if (encoded.size() != 1 + 2 * text.size()) __builtin_trap();
    }
}

// Splits the bytes at NULs into wide arguments, as the program would receive them.
void FuzzCommandLine(const std::uint8_t* data, std::size_t size) {
    std::vector<std::wstring> arguments{L"Update.exe"};
    std::wstring current;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            arguments.push_back(current);
            current.clear();
        } else {
            current += static_cast<wchar_t>(data[i]);
        }
    }
    arguments.push_back(current);
    std::vector<const wchar_t*> pointers;
    for (const std::wstring& argument : arguments) pointers.push_back(argument.c_str());
    corvantile::CommandLineSettings settings;
    corvantile::ParseCommandLine(static_cast<int>(pointers.size()), pointers.data(), settings,
                                 [] { return std::optional<std::wstring>(L"C:\\dir\\Update.exe"); });

    wchar_t buffer[16];
    const std::wstring text = arguments.back();
    const std::int32_t result = corvantile::FormatBounded(buffer, 16, L"%s|%u", text.c_str(), 7U);
    if (std::wstring(buffer).size() > 15 || (result != corvantile::kFormatOk && result != corvantile::kFormatInsufficientBuffer)) {
        __builtin_trap();
    }
}

// A patch template made of the bytes, and a sequencing result made of 8-byte records.
void FuzzEngineInputs(const std::uint8_t* data, std::size_t size) {
    std::wstring patchTemplate;
    for (std::size_t i = 0; i + 1 < size; i += 2) patchTemplate += static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
    corvantile::PatchCatalogue catalogue;
    corvantile::AddPatchTargets(catalogue, patchTemplate, 7);
    std::size_t indices = 0;
    for (const auto& entry : catalogue) indices += entry.second.size();
    std::vector<std::wstring> pieces;
    corvantile::SplitOnSemicolon(patchTemplate, pieces);
    if (indices != pieces.size()) __builtin_trap();

    std::vector<corvantile::SequencedPatch> sequence;
    for (std::size_t i = 0; i + 8 <= size; i += 8) {
        sequence.push_back({static_cast<std::int32_t>(corvantile::ReadLe32(data + i)), corvantile::ReadLe32(data + i + 4)});
    }
    const std::vector<std::size_t> order = corvantile::ApplicationOrder(sequence);
    std::size_t applicable = 0;
    for (const corvantile::SequencedPatch& patch : sequence) applicable += patch.status == 0 && patch.order >= 0;
    if (order.size() != applicable) __builtin_trap();
    for (std::size_t i = 0; i < order.size(); ++i) {
        const corvantile::SequencedPatch& patch = sequence.at(order[i]);
        if (patch.status != 0 || patch.order < 0) __builtin_trap();
        if (i > 0) {
            const corvantile::SequencedPatch& before = sequence[order[i - 1]];
            if (before.order > patch.order || (before.order == patch.order && order[i - 1] > order[i])) __builtin_trap();
        }
    }
}

// The bytes as UTF-16: what a package or a patch's summary may hold.
void FuzzPackToolTexts(const std::uint8_t* data, std::size_t size) {
    std::u16string text;
    for (std::size_t i = 0; i + 1 < size; i += 2) text += static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    // Nothing a terminal acts on, and no right-to-left override, may reach the listing.
    const std::string shown = corvantile::pack::DisplayText(text);
    for (const char c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) __builtin_trap();
    }
    if (shown.find("\xE2\x80\xAE") != std::string::npos || shown.find("\xC2\x85") != std::string::npos) __builtin_trap();

    const std::size_t split = text.empty() ? 0 : text[0] % (text.size() + 1);
    const corvantile::pack::PatchSummary summary = corvantile::pack::SummarizePatch(
        {corvantile::pack::StorageKind::Patch, text.substr(0, split), text.substr(split)});
    for (const std::u16string& target : summary.targetProductCodes) {
        if (target.empty() || target.find(u';') != std::u16string::npos) __builtin_trap();
    }
    if (!summary.patchCode.empty() && summary.patchCode.size() != 38) __builtin_trap();
    if (summary.problem.empty() != (!summary.targetProductCodes.empty() && !summary.patchCode.empty())) __builtin_trap();
    std::vector<std::string> warnings;
    std::string error;
    (void)corvantile::pack::CheckPatchSet({{"a", summary}, {"b", summary}}, warnings, error);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    switch (data[0] % 4) {
        case 0:
            FuzzCommandLine(data + 1, size - 1);
            break;
        case 1:
            FuzzPackageBytes(data + 1, size - 1);
            break;
        case 2:
            FuzzEngineInputs(data + 1, size - 1);
            break;
        default:
            FuzzPackToolTexts(data + 1, size - 1);
            break;
    }
    return 0;
}
