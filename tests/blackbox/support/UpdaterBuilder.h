// Makes updaters for the black-box tests: a copy of the built CorvantileUpdater.exe with a crafted update
// package (complete or deliberately damaged) appended behind its image, optionally followed by a
// certificate table as a signed updater has one.
#pragma once

#include "tests/support/Files.h"
#include "tests/support/PackageBytes.h"

#include <optional>
#include <string>

namespace corvantile::blackbox {

// The black-box tests use the shared test support as if it were their own.
using namespace corvantile::testing;

// A program the build put beside the test program, such as corvantile-pack.exe.
[[nodiscard]] std::wstring BuiltProgramPath(const std::wstring& fileName);
// CorvantileUpdater.exe as the build made it.
[[nodiscard]] std::wstring BuiltUpdaterPath();

// Copies the built updater to `path` and appends `package` (which may be empty: an updater without one).
[[nodiscard]] bool MakeUpdater(const std::wstring& path, const Bytes& package);

// Like MakeUpdater, then signed-looking (SignLooking): zeros up to a multiple of 8 bytes, a certificate
// table, and the copy's security directory pointing at it.
[[nodiscard]] std::optional<SignedUpdater> MakeSignedLookingUpdater(const std::wstring& path, const Bytes& package);

}  // namespace corvantile::blackbox
