#include "tests/support/Files.h"

#include "base/UniqueHandles.h"

#include <windows.h>

#include <algorithm>
#include <stdexcept>

namespace corvantile::testing {

namespace {

// Opens the file with `access` and `disposition`, unshared, and writes all the bytes.
bool WriteAll(const std::wstring& path, DWORD access, DWORD disposition, const Bytes& bytes) {
    const UniqueFile file(::CreateFileW(path.c_str(), access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        // WriteFile takes a 32-bit count.
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
        DWORD written = 0;
        if (!::WriteFile(file.get(), bytes.data() + done, chunk, &written, nullptr) || written == 0) return false;
        done += written;
    }
    return true;
}

// One look at the attributes: a path that goes away meanwhile must not pass for a directory.
bool ExistsAs(const std::wstring& path, bool directory) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) == directory;
}

void ListInto(const std::wstring& root, const std::wstring& relative, std::vector<std::wstring>& entries) {
    ForEachEntry(relative.empty() ? root : JoinPath(root, relative), L"*", [&](const WIN32_FIND_DATAW& found) {
        const std::wstring entry = relative.empty() ? found.cFileName : JoinPath(relative, found.cFileName);
        const bool directory = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        entries.push_back(directory ? entry + L"\\" : entry);
        if (directory) ListInto(root, entry, entries);
    });
}

}  // namespace

std::optional<Bytes> ReadFileBytes(const std::wstring& path) {
    // Sharing read and write: the log is read while the process that writes it still holds it open.
    const UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::nullopt;
    Bytes bytes;
    std::uint8_t block[65536];
    for (;;) {
        DWORD delivered = 0;
        if (!::ReadFile(file.get(), block, sizeof block, &delivered, nullptr)) return std::nullopt;
        if (delivered == 0) return bytes;
        bytes.insert(bytes.end(), block, block + delivered);
    }
}

bool WriteFileBytes(const std::wstring& path, const Bytes& bytes) {
    return WriteAll(path, GENERIC_WRITE, CREATE_ALWAYS, bytes);
}

bool AppendFileBytes(const std::wstring& path, const Bytes& bytes) {
    return WriteAll(path, FILE_APPEND_DATA, OPEN_EXISTING, bytes);
}

bool PathExists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool FileExists(const std::wstring& path) { return ExistsAs(path, false); }

bool DirectoryExists(const std::wstring& path) { return ExistsAs(path, true); }

bool MakeDirectory(const std::wstring& path) { return ::CreateDirectoryW(path.c_str(), nullptr) != 0; }

bool CanOpenExclusively(const std::wstring& path) {
    const UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.valid();
}

void ForEachEntry(const std::wstring& directory, const std::wstring& pattern,
                  const std::function<void(const WIN32_FIND_DATAW&)>& visit) {
    WIN32_FIND_DATAW found{};
    const UniqueFindHandle search(::FindFirstFileW(JoinPath(directory, pattern).c_str(), &found));
    if (!search) return;
    do {
        const std::wstring_view name = found.cFileName;
        if (name != L"." && name != L"..") visit(found);
    } while (::FindNextFileW(search.get(), &found));
}

std::vector<std::wstring> ListTree(const std::wstring& root) {
    std::vector<std::wstring> entries;
    // An empty root names no directory; searching it would search the root of the current drive.
    if (root.empty()) return entries;
    ListInto(root, L"", entries);
    std::sort(entries.begin(), entries.end());
    return entries;
}

void RemoveTree(const std::wstring& path) {
    if (FileExists(path)) {
        // DeleteFileW refuses read-only files.
        ::SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(path.c_str());
        return;
    }
    // Only a directory is searched: an empty path would search the root of the current drive. The search
    // handle is closed when ForEachEntry returns, before the directory itself is removed.
    if (!DirectoryExists(path)) return;
    ForEachEntry(path, L"*", [&](const WIN32_FIND_DATAW& found) { RemoveTree(JoinPath(path, found.cFileName)); });
    ::RemoveDirectoryW(path.c_str());
}

std::wstring JoinPath(const std::wstring& directory, const std::wstring& name) {
    if (!directory.empty() && directory.back() == L'\\') return directory + name;
    return directory + L"\\" + name;
}

std::wstring FullPath(const std::wstring& path) {
    wchar_t full[4096];
    const DWORD chars = ::GetFullPathNameW(path.c_str(), 4096, full, nullptr);
    if (chars == 0 || chars >= 4096) throw std::runtime_error("GetFullPathNameW failed");
    return full;
}

std::wstring UserTempDirectory() {
    wchar_t temp[MAX_PATH + 1];
    const DWORD chars = ::GetTempPathW(MAX_PATH + 1, temp);
    if (chars == 0 || chars > MAX_PATH) throw std::runtime_error("no temporary directory");
    return temp;
}

}  // namespace corvantile::testing
