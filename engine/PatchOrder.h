// Which of a product's patches to apply, and in which order, from what the Installer's sequencing said.
// Portable: no Windows headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace corvantile {

// One element of the sequencing result: the order the Installer gave (-1 for none) and its status for the
// patch (0 when it applies).
struct SequencedPatch {
    std::int32_t order = -1;
    std::uint32_t status = 0;
};

// The positions of the patches to apply, in application order: order 0 first, up to the highest order
// among the patches with status 0; within one order value in array order. A patch with another status or
// with order -1 (superseded or obsolete) is never applied. Empty when nothing applies.
[[nodiscard]] std::vector<std::size_t> ApplicationOrder(const std::vector<SequencedPatch>& patches);

}  // namespace corvantile
