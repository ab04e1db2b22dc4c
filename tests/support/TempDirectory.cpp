#include "tests/support/TempDirectory.h"

#include "tests/support/Files.h"

#include <windows.h>

#include <atomic>
#include <stdexcept>

namespace corvantile::testing {

TempDirectory::TempDirectory(Parent parent) {
    static std::atomic<unsigned> directoryCounter{0};
    const std::wstring base = parent == Parent::UserTemp ? UserTempDirectory() : std::wstring();
    // Test programs run side by side: the process id keeps their directories apart, and a leftover of an
    // earlier process with the same id is skipped, never reused.
    for (int attempt = 0; attempt < 100; ++attempt) {
        name_ =
            L"corvantile-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(directoryCounter++);
        if (::CreateDirectoryW((base + name_).c_str(), nullptr)) {
            path_ = FullPath(base + name_);
            return;
        }
        if (::GetLastError() != ERROR_ALREADY_EXISTS) break;
    }
    throw std::runtime_error("cannot create a temporary directory");
}

TempDirectory::~TempDirectory() { RemoveTree(path_); }

std::wstring TempDirectory::operator/(const std::wstring& relative) const { return JoinPath(path_, relative); }

}  // namespace corvantile::testing
