// Makes a packed updater: a copy of the updater stub with the update package appended.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace corvantile::pack {

struct BuildRequest {
    std::filesystem::path stub;
    std::u16string productName;
    std::u16string productVersion;
    std::filesystem::path output;
    std::vector<std::filesystem::path> updateFiles;  // in table order, each named in the table by its file name
};

// Checks everything before it writes: the texts, that the output is none of the inputs, the stub, and that
// each update file is a usable patch package, with patch codes of their own. Then writes a temporary file
// beside the output that replaces the output only when complete: after a failure neither is left. On
// failure `error` reads "<subject>: <why>"; `warnings` tells what is allowed but looks like a mistake.
[[nodiscard]] bool BuildPackage(const BuildRequest& request, std::vector<std::string>& warnings, std::string& error);

}  // namespace corvantile::pack
