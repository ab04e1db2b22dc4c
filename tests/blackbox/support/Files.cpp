#include "tests/blackbox/support/Files.h"

#include "app/UniqueHandles.h"

#include <windows.h>

#include <algorithm>

namespace corvantile::blackbox {

namespace {

bool WriteAll(HANDLE file, const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
        DWORD written = 0;
        if (!::WriteFile(file, bytes.data() + done, chunk, &written, nullptr) || written == 0) return false;
        done += written;
    }
    return true;
}

bool IsDotEntry(const WIN32_FIND_DATAW& found) {
    return std::wstring_view(found.cFileName) == L"." || std::wstring_view(found.cFileName) == L"..";
}

void ListInto(const std::wstring& root, const std::wstring& relative, std::vector<std::wstring>& entries) {
    WIN32_FIND_DATAW found{};
    const std::wstring directory = relative.empty() ? root : JoinPath(root, relative);
    const UniqueFindHandle search(::FindFirstFileW(JoinPath(directory, L"*").c_str(), &found));
    if (!search) return;
    do {
        if (IsDotEntry(found)) continue;
        const std::wstring entry = relative.empty() ? found.cFileName : JoinPath(relative, found.cFileName);
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            entries.push_back(entry + L"\\");
            ListInto(root, entry, entries);
        } else {
            entries.push_back(entry);
        }
    } while (::FindNextFileW(search.get(), &found));
}

}  // namespace

std::optional<Bytes> ReadFileBytes(const std::wstring& path) {
    const UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::nullopt;
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file.get(), &size)) return std::nullopt;
    Bytes bytes(static_cast<std::size_t>(size.QuadPart));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
        DWORD read = 0;
        if (!::ReadFile(file.get(), bytes.data() + done, chunk, &read, nullptr) || read == 0) return std::nullopt;
        done += read;
    }
    return bytes;
}

bool WriteFileBytes(const std::wstring& path, const Bytes& bytes) {
    const UniqueFile file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    return file && WriteAll(file.get(), bytes);
}

bool AppendFileBytes(const std::wstring& path, const Bytes& bytes) {
    const UniqueFile file(::CreateFileW(path.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    return file && WriteAll(file.get(), bytes);
}

bool FileExists(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool DirectoryExists(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool MakeDirectory(const std::wstring& path) {
    return ::CreateDirectoryW(path.c_str(), nullptr) != 0;
}

std::vector<std::wstring> ListTree(const std::wstring& root) {
    std::vector<std::wstring> entries;
    ListInto(root, L"", entries);
    std::sort(entries.begin(), entries.end());
    return entries;
}

void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW found{};
    {
        const UniqueFindHandle search(::FindFirstFileW(JoinPath(path, L"*").c_str(), &found));
        if (search) {
            do {
                if (IsDotEntry(found)) continue;
                const std::wstring entry = JoinPath(path, found.cFileName);
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    RemoveTree(entry);
                } else {
                    ::SetFileAttributesW(entry.c_str(), FILE_ATTRIBUTE_NORMAL);
                    ::DeleteFileW(entry.c_str());
                }
            } while (::FindNextFileW(search.get(), &found));
        }
    }
    ::RemoveDirectoryW(path.c_str());
}

std::wstring JoinPath(const std::wstring& directory, const std::wstring& name) {
    if (!directory.empty() && directory.back() == L'\\') return directory + name;
    return directory + L"\\" + name;
}

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

}  // namespace corvantile::blackbox
