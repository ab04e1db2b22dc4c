#include "engine/PatchOrder.h"

#include <algorithm>

namespace corvantile {

std::vector<std::size_t> ApplicationOrder(const std::vector<SequencedPatch>& patches) {
    std::vector<std::size_t> applicable;
    for (std::size_t i = 0; i < patches.size(); ++i) {
        if (patches[i].status == 0 && patches[i].order >= 0) applicable.push_back(i);
    }
    // Stable: patches of one order value keep their array order. Walking the values from 0 up to the highest
    // and taking matches in array order gives the same sequence without a loop over every value in between.
    std::stable_sort(applicable.begin(), applicable.end(),
                     [&](std::size_t a, std::size_t b) { return patches[a].order < patches[b].order; });
    return applicable;
}

}  // namespace corvantile
