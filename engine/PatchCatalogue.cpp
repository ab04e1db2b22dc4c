#include "engine/PatchCatalogue.h"

namespace corvantile {

void SplitOnSemicolon(std::wstring_view text, std::vector<std::wstring>& pieces) {
    std::size_t position = 0;
    while (position < text.size()) {
        const std::size_t separator = text.find(L';', position);
        if (separator == std::wstring_view::npos) break;
        pieces.emplace_back(text.substr(position, separator - position));
        position = separator + 1;
    }
    if (position < text.size()) pieces.emplace_back(text.substr(position));
}

void AddPatchTargets(PatchCatalogue& catalogue, std::wstring_view patchTemplate, std::uint32_t patchIndex) {
    std::vector<std::wstring> productCodes;
    SplitOnSemicolon(patchTemplate, productCodes);
    for (std::wstring& productCode : productCodes) catalogue[std::move(productCode)].push_back(patchIndex);
}

}  // namespace corvantile
