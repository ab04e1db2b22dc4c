// The run-wide settings: written on the main thread at start-up, read-only once other threads exist.
#pragma once

#include "app/CommandLine.h"
#include "package/PackageFile.h"

#include <windows.h>

#include <string>

namespace corvantile {

struct RunSettings : CommandLineSettings {
    std::wstring productName;
    std::wstring productVersion;
    // The program's own file; its cursor stands on the update table once the header is read.
    PackageFile packageFile;
    HINSTANCE instanceHandle = nullptr;
};

}  // namespace corvantile
