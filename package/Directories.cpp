#include "package/Directories.h"

#include "base/UniqueHandles.h"

#include <windows.h>

#include <cwchar>
#include <string>

namespace corvantile {

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// A file counts as well as a directory: the caller finds out when it creates files inside.
bool PathExists(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA attributes;
    return ::GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &attributes) != FALSE;
}

// Deletes every plain file directly inside the directory `base` (which ends with a backslash).
void DeletePlainFiles(const std::wstring& base) {
    WIN32_FIND_DATAW entry;
    const UniqueFindHandle listing(::FindFirstFileW((base + L'*').c_str(), &entry));
    if (!listing) return;
    do {
        // Skips ".", "..", subdirectories, and files whose data would first have to be recalled from storage.
        if ((entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_OFFLINE)) != 0) continue;
        // Read-only and locked files stay; the directory then stays as well.
        ::DeleteFileW((base + entry.cFileName).c_str());
    } while (::FindNextFileW(listing.get(), &entry));
}

}  // namespace

int EnsureDirectoryChain(const wchar_t* path) {
    if (path == nullptr) return -1;
    const std::size_t length = wcsnlen(path, MAX_PATH);
    if (length >= MAX_PATH) return -1;
    const std::wstring fullPath(path, length);
    if (PathExists(fullPath)) return 0;

    // The deepest existing ancestor. The first character is never a separator worth testing: a leading
    // separator would leave an empty prefix.
    std::size_t ancestorEnd = 0;
    for (std::size_t i = length; i-- > 1;) {
        if (IsSeparator(fullPath[i]) && PathExists(fullPath.substr(0, i))) {
            ancestorEnd = i;
            break;
        }
    }
    if (ancestorEnd == 0) return -1;

    // A trailing or doubled separator yields a prefix that already exists, which is fine.
    for (std::size_t end = ancestorEnd + 1; end <= length; ++end) {
        if (end < length && !IsSeparator(fullPath[end])) continue;
        if (!::CreateDirectoryW(fullPath.substr(0, end).c_str(), nullptr)) {
            const DWORD error = ::GetLastError();
            if (error != ERROR_ALREADY_EXISTS) return -1;
        }
    }
    return 0;
}

void RemoveDirectoryWithFiles(const wchar_t* path) {
    if (path == nullptr) return;
    const DWORD attributes = ::GetFileAttributesW(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return;

    std::wstring base(path);
    if (base.back() != L'\\') base += L'\\';
    DeletePlainFiles(base);
    // Fails while anything is left inside, and the directory then stays.
    ::RemoveDirectoryW(path);
}

}  // namespace corvantile
