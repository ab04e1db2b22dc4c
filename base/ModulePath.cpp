#include "base/ModulePath.h"

#include <windows.h>

namespace corvantile {

std::optional<std::wstring> GetModulePath() {
    // The path limit of the file system, far beyond MAX_PATH.
    constexpr DWORD kMaxPathChars = 32768;
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return std::nullopt;
        // A path that fills the buffer may have been cut.
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        if (path.size() >= kMaxPathChars) return std::nullopt;
        path.resize(path.size() * 2);
    }
}

std::wstring ExtendedLengthPath(const std::wstring& path) {
    if (path.size() < MAX_PATH || path.rfind(L"\\\\?\\", 0) == 0) return path;
    if (path.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + path.substr(2);
    return L"\\\\?\\" + path;
}

}  // namespace corvantile
