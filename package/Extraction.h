// Writes the update files that the package carries into a directory.
#pragma once

#include "package/PackageFile.h"
#include "package/PackageReader.h"

#include <string>

namespace corvantile {

// The file name of an entry of a filled list (where every name was found terminated), as Windows spells it.
[[nodiscard]] std::wstring UpdateFileName(const UpdateTableEntry& entry);

// Reads the update table at the package cursor and writes every file as outputDir + "\" + fileName.
// 0 when every file was written, 1 after one log line that says why. Every name is checked before the
// first file is created; a file that cannot be written whole is removed, the files before it stay. `files`,
// when given, is filled only on success.
[[nodiscard]] int ExtractUpdateFiles(PackageFile& package, const std::wstring& outputDir, UpdateFileList* files);

}  // namespace corvantile
