// Feeds arbitrary bytes to the portable code that reads what the updater does not control: the PE headers
// and update records of a package, and the command line.
#include "app/CommandLine.h"
#include "app/FormatBounded.h"
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    if (data[0] & 1) FuzzPackageBytes(data + 1, size - 1);
    else FuzzCommandLine(data + 1, size - 1);
    return 0;
}
