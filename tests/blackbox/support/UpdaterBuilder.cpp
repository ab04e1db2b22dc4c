#include "tests/blackbox/support/UpdaterBuilder.h"

#include <windows.h>

namespace corvantile::blackbox {

namespace {

// The directory that holds the running test program, without a trailing backslash.
std::wstring OwnDirectory() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.rfind(L'\\'));
}

}  // namespace

std::wstring BuiltProgramPath(const std::wstring& fileName) { return JoinPath(OwnDirectory(), fileName); }

std::wstring BuiltUpdaterPath() { return BuiltProgramPath(L"CorvantileUpdater.exe"); }

bool MakeUpdater(const std::wstring& path, const Bytes& package) {
    return ::CopyFileW(BuiltUpdaterPath().c_str(), path.c_str(), TRUE) && AppendFileBytes(path, package);
}

std::optional<SignedUpdater> MakeSignedLookingUpdater(const std::wstring& path, const Bytes& package) {
    const std::optional<Bytes> image = ReadFileBytes(BuiltUpdaterPath());
    if (!image) return std::nullopt;
    std::optional<SignedUpdater> signedUpdater = SignLooking(Concat({*image, package}));
    if (!signedUpdater || !WriteFileBytes(path, signedUpdater->file)) return std::nullopt;
    return signedUpdater;
}

}  // namespace corvantile::blackbox
