// The patch catalogue: which product codes the patches of one run target, and through which patches.
// Portable: no Windows headers.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace corvantile {

// Patch indices (positions in the update table) in table order; an index repeats when a patch names the
// same product twice.
using PatchIndexList = std::vector<std::uint32_t>;

// Product codes are compared by their UTF-16 code units as unsigned numbers, case-sensitively, a proper
// prefix first: the Installer matches codes exactly, so no two spellings may be merged.
struct CodeUnitLess {
    bool operator()(std::wstring_view a, std::wstring_view b) const noexcept {
        using Unit = std::make_unsigned_t<wchar_t>;
        const std::size_t common = a.size() < b.size() ? a.size() : b.size();
        for (std::size_t i = 0; i < common; ++i) {
            if (a[i] != b[i]) return static_cast<Unit>(a[i]) < static_cast<Unit>(b[i]);
        }
        return a.size() < b.size();
    }
    using is_transparent = void;
};

using PatchCatalogue = std::map<std::wstring, PatchIndexList, CodeUnitLess>;

// Appends the pieces of `text` between semicolons, untrimmed. A leading ";" and each pair of adjacent ";"
// give an empty piece; one trailing ";" gives none; an empty text gives nothing.
void SplitOnSemicolon(std::wstring_view text, std::vector<std::wstring>& pieces);

// Adds patch `patchIndex` to every product code that its template (the codes joined by ";") names.
void AddPatchTargets(PatchCatalogue& catalogue, std::wstring_view patchTemplate, std::uint32_t patchIndex);

}  // namespace corvantile
