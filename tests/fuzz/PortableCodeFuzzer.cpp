// Feeds arbitrary bytes to the portable code that reads what the updater does not control: the PE headers
// and update records of a package, the command line, and what patches and the Installer report to the engine.
#include "app/CommandLine.h"
#include "app/FormatBounded.h"
#include "engine/PatchCatalogue.h"
#include "engine/PatchOrder.h"
#include "package/PackageLayout.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    switch (data[0] % 3) {
        case 0:
            FuzzCommandLine(data + 1, size - 1);
            break;
        case 1:
            FuzzPackageBytes(data + 1, size - 1);
            break;
        default:
            FuzzEngineInputs(data + 1, size - 1);
            break;
    }
    return 0;
}
