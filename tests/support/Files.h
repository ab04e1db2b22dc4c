// File and directory helpers of the Windows tests, on Win32 with owned handles.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace corvantile::testing {

using Bytes = std::vector<std::uint8_t>;

// The whole file; empty optional when it cannot be opened or read.
[[nodiscard]] std::optional<Bytes> ReadFileBytes(const std::wstring& path);
// Creates or replaces the file with these bytes.
[[nodiscard]] bool WriteFileBytes(const std::wstring& path, const Bytes& bytes);
// Adds the bytes at the end of an existing file.
[[nodiscard]] bool AppendFileBytes(const std::wstring& path, const Bytes& bytes);

[[nodiscard]] bool PathExists(const std::wstring& path);
// A file that is not a directory.
[[nodiscard]] bool FileExists(const std::wstring& path);
[[nodiscard]] bool DirectoryExists(const std::wstring& path);
[[nodiscard]] bool MakeDirectory(const std::wstring& path);
// True when nobody else holds the file open: an exclusive open succeeds.
[[nodiscard]] bool CanOpenExclusively(const std::wstring& path);

// Calls `visit` for every entry of `directory` whose name matches `pattern`, "." and ".." left out.
void ForEachEntry(const std::wstring& directory, const std::wstring& pattern,
                  const std::function<void(const WIN32_FIND_DATAW&)>& visit);
// Every file and directory below root, as paths relative to it ("out", "out\\a.msp"), sorted; directories
// end with a backslash so that a file and a directory of one name differ.
[[nodiscard]] std::vector<std::wstring> ListTree(const std::wstring& root);
// Deletes a file, or a directory with everything below it, read-only files included. Best effort and
// silent: what cannot be deleted stays.
void RemoveTree(const std::wstring& path);

// "dir" + "\" + "name", without doubling a trailing backslash.
[[nodiscard]] std::wstring JoinPath(const std::wstring& directory, const std::wstring& name);
// The absolute form (with a drive letter) of a path; throws when there is none.
[[nodiscard]] std::wstring FullPath(const std::wstring& path);
// The user's temporary directory, with a trailing backslash; throws when there is none.
[[nodiscard]] std::wstring UserTempDirectory();

}  // namespace corvantile::testing
