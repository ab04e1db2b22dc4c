#include "tests/blackbox/support/TempDirectory.h"

#include "tests/blackbox/support/Files.h"

#include <windows.h>

#include <atomic>

namespace corvantile::blackbox {

namespace {

std::atomic<unsigned> directoryCounter{0};

}  // namespace

TempDirectory::TempDirectory() {
    wchar_t base[MAX_PATH + 1];
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, base);
    if (length == 0 || length > MAX_PATH) return;
    // Test programs run side by side: the process id keeps their directories apart.
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::wstring name = L"CorvantileBlackBox-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(directoryCounter++);
        const std::wstring candidate = JoinPath(base, name);
        if (::CreateDirectoryW(candidate.c_str(), nullptr)) {
            path_ = candidate;
            return;
        }
        if (::GetLastError() != ERROR_ALREADY_EXISTS) return;
    }
}

TempDirectory::~TempDirectory() {
    if (!path_.empty()) RemoveTree(path_);
}

std::wstring TempDirectory::operator/(const std::wstring& relative) const {
    return JoinPath(path_, relative);
}

}  // namespace corvantile::blackbox
