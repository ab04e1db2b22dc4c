// Makes updaters for the black-box tests: a copy of the built CorvantileUpdater.exe with a crafted update
// package (complete or deliberately damaged) appended behind its image, optionally followed by a
// certificate table as a signed updater has one.
#pragma once

#include "tests/support/PackageBytes.h"

#include <cstdint>
#include <optional>
#include <string>

namespace corvantile::blackbox {

// The black-box tests use the shared test support as if it were their own.
using namespace corvantile::testing;

// CorvantileUpdater.exe as the build made it: beside the test program.
[[nodiscard]] std::wstring BuiltUpdaterPath();

// Copies the built updater to `path` and appends `package` (which may be empty: an updater without one).
[[nodiscard]] bool MakeUpdater(const std::wstring& path, const Bytes& package);

struct SignedUpdater {
    std::size_t paddingBytes = 0;      // zero bytes between the package and the certificate table
    std::uint32_t certificateOffset = 0;
};

// Like MakeUpdater, then pads the file to a multiple of 8 bytes with zeros, appends a certificate table
// and points the copy's security directory at it, as signing does. The certificate's content is not a
// real signature: the updater only uses where it begins.
[[nodiscard]] std::optional<SignedUpdater> MakeSignedLookingUpdater(const std::wstring& path, const Bytes& package);

}  // namespace corvantile::blackbox
