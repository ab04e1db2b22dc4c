// The worker thread that runs the update while the dialog stays responsive.
#pragma once

#include "ui/DialogState.h"

#include <windows.h>

#include <string>

namespace corvantile {

// Starts the worker for the dialog's run and lets it go: it is never waited for. When it cannot start, logs
// "Updater thread creation failed.", sets the failed run's exit code and returns false.
[[nodiscard]] bool StartUpdaterThread(DialogState& state);

// The working directory's security: full access for Administrators and SYSTEM only, inherited by the files
// in it, and nothing inherited from the user's TEMP, which any unelevated process of the user can write.
inline constexpr wchar_t kWorkingDirectorySecurity[] = L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";

// Creates the directory with that security through `createDirectory` (CreateDirectoryW, or a test's).
[[nodiscard]] bool CreateWorkingDirectory(const std::wstring& path,
                                          decltype(&::CreateDirectoryW) createDirectory = &::CreateDirectoryW);

// Makes the run's working directory, the user's temporary directory and a new GUID, with that security.
// Empty when any step fails; then nothing was made.
[[nodiscard]] std::wstring MakeWorkingDirectory(const WorkingDirectoryCalls& calls);

// The user's temporary directory as `getTempPath` (GetTempPathW, or a test's) gives it, ending with a
// backslash, however long; empty when there is none.
[[nodiscard]] std::wstring TemporaryPath(decltype(&::GetTempPathW) getTempPath = &::GetTempPathW);

}  // namespace corvantile
