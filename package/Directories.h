// The two directory operations of a run: making a directory chain and removing a directory with its files.
#pragma once

namespace corvantile {

// Makes sure the directory exists, creating its missing levels below the deepest existing ancestor.
// Both \ and / separate levels; paths of 260 or more characters are refused. 0 when the path exists
// afterwards (as a directory, or already as a file), -1 otherwise; levels made before a failure stay.
[[nodiscard]] int EnsureDirectoryChain(const wchar_t* path);

// Deletes the plain files directly inside the directory, then the directory. One level deep; files that
// cannot be deleted (read-only, held open) and subdirectories stay, and with them the directory. Silent.
void RemoveDirectoryWithFiles(const wchar_t* path);

}  // namespace corvantile
