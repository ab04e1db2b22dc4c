// corvantile-pack on POSIX systems, whose arguments are UTF-8.
#include "tools/PackTool.h"
#include "tools/TextEncoding.h"

#include <iostream>
#include <optional>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::u16string> args;
    for (int i = 1; i < argc; ++i) {
        std::optional<std::u16string> arg = corvantile::pack::Utf16FromUtf8(argv[i]);
        if (!arg) {
            std::cerr << "corvantile-pack: argument " << i << " is not valid UTF-8\n";
            return corvantile::pack::kExitUsage;
        }
        args.push_back(std::move(*arg));
    }
    return corvantile::pack::RunPackTool(args, std::cout, std::cerr);
}
