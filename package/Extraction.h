// Writes the update files that the package carries into a directory.
#pragma once

#include "package/PackageFile.h"
#include "package/PackageReader.h"

#include <windows.h>

#include <string>

namespace corvantile {

// The file name of an entry of a filled list (where every name was found terminated), as Windows spells it.
[[nodiscard]] std::wstring UpdateFileName(const UpdateTableEntry& entry);

// Why an extraction failed: the step, and for a file that could not be created or written the error that
// Windows gave (ERROR_FILE_EXISTS for a name already taken, ERROR_ACCESS_DENIED, ERROR_DISK_FULL, ...);
// ERROR_SUCCESS for the other steps, whose failure the step itself explains.
struct ExtractionFailure {
    ExtractionOutcome outcome = ExtractionOutcome::Extracted;
    DWORD error = ERROR_SUCCESS;
};

// Reads the update table at the package cursor and writes every file as outputDir + "\" + fileName.
// 0 when every file was written, 1 after one log line that says why. Every name is checked before the
// first file is created; a file that cannot be written whole is removed, the files before it stay. `files`,
// when given, is filled only on success; `failure`, when given, receives the reason of a failure.
[[nodiscard]] int ExtractUpdateFiles(PackageFile& package, const std::wstring& outputDir, UpdateFileList* files,
                                     ExtractionFailure* failure = nullptr);

}  // namespace corvantile
