// corvantile-pack's command line (build, list, extract), callable with arguments and streams so that tests
// run it in-process.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace corvantile::pack {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitBadInput = 1;  // nothing was written
inline constexpr int kExitUsage = 2;

// Runs one command line, without the program name. Results go to `out`, messages to `err`, both UTF-8.
[[nodiscard]] int RunPackTool(const std::vector<std::u16string>& args, std::ostream& out, std::ostream& err);

}  // namespace corvantile::pack
