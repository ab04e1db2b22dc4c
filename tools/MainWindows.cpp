// corvantile-pack on Windows, whose arguments are UTF-16.
#include "tools/PackTool.h"

#include <windows.h>

#include <iostream>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    std::vector<std::u16string> args;
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg(argv[i]);
        args.emplace_back(arg.begin(), arg.end());
    }
    // The tool prints UTF-8; the console shows it as such while the tool runs.
    const UINT previousCodePage = GetConsoleOutputCP();
    SetConsoleOutputCP(CP_UTF8);
    const int exitCode = corvantile::pack::RunPackTool(args, std::cout, std::cerr);
    std::cout.flush();
    SetConsoleOutputCP(previousCodePage);
    return exitCode;
}
