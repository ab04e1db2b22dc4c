// Crafted updaters and the log of this process, for the Windows tests of the update package, on top of the
// shared test support.
#pragma once

#include "package/PackageFile.h"
#include "tests/support/Files.h"
#include "tests/support/LogReader.h"
#include "tests/support/PackageBytes.h"
#include "tests/support/TempDirectory.h"

#include <cstdint>
#include <string>
#include <vector>

namespace corvantile::testing {

// Any file serves as an updater when its image end is given: filler bytes, the package, and for a signed
// updater a certificate table behind it, on the next multiple of 8 bytes as signing puts it.
class CraftedUpdater {
public:
    static constexpr std::uint32_t kImageBytes = 1024;

    // Writes the updater into `directory`, opens it and reads the package header.
    CraftedUpdater(const std::wstring& directory, const Bytes& package, const Bytes& certificate = {});

    [[nodiscard]] bool headerRead() const { return headerRead_; }
    [[nodiscard]] PackageFile& package() { return package_; }

private:
    PackageFile package_;
    bool headerRead_ = false;
};

// The messages that the program logs from now on. The log is opened once per test process, in a directory
// of its own below the temporary directory.
class LogCapture {
public:
    LogCapture();
    // A log that breaks the layout ends the list with a "<malformed log>" line, so that the comparison
    // shows it.
    [[nodiscard]] std::vector<std::wstring> Lines() const;

private:
    std::size_t startBytes_ = 0;
};

}  // namespace corvantile::testing
