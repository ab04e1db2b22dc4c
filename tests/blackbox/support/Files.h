// Plain file and directory helpers for the black-box tests, on Win32 with owned handles.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvantile::blackbox {

using Bytes = std::vector<std::uint8_t>;

// The whole file; empty optional when it cannot be opened or read.
[[nodiscard]] std::optional<Bytes> ReadFileBytes(const std::wstring& path);
// Creates or replaces the file with these bytes.
[[nodiscard]] bool WriteFileBytes(const std::wstring& path, const Bytes& bytes);
// Adds the bytes at the end of an existing file.
[[nodiscard]] bool AppendFileBytes(const std::wstring& path, const Bytes& bytes);

[[nodiscard]] bool FileExists(const std::wstring& path);
[[nodiscard]] bool DirectoryExists(const std::wstring& path);
[[nodiscard]] bool MakeDirectory(const std::wstring& path);

// Every file and directory below root, as paths relative to it ("out", "out\\a.msp"), sorted; directories
// end with a backslash so that a file and a directory of one name differ.
[[nodiscard]] std::vector<std::wstring> ListTree(const std::wstring& root);

// Deletes the directory with everything below it. Best effort: what cannot be deleted stays.
void RemoveTree(const std::wstring& path);

// "dir" + "\" + "name".
[[nodiscard]] std::wstring JoinPath(const std::wstring& directory, const std::wstring& name);
// The directory that holds the running test program, without a trailing backslash.
[[nodiscard]] std::wstring OwnDirectory();

}  // namespace corvantile::blackbox
