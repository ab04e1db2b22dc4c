// The run's log: "CorvantileUpdater.log" in the log directory, one UTF-16LE line per message.
#pragma once

#include <windows.h>

#include <string>

namespace corvantile {

// What OpenLog opens the log file and asks it what it is with: the system's calls, or a test's.
struct LogFileCalls {
    decltype(&::CreateFileW) createFile = &::CreateFileW;
    decltype(&::GetFileInformationByHandle) getFileInformation = &::GetFileInformationByHandle;
};

// Prepares the log directory (creating its missing levels) and creates the log file. Appends a backslash to
// logDirectory when it has none. False when the log cannot be created, and logging stays off; so it does for a
// symbolic link or junction at the log's name, which is opened as itself and never written through. The caller
// decides what a missing log means for the run.
[[nodiscard]] bool OpenLog(std::wstring& logDirectory, const LogFileCalls& calls = LogFileCalls{});

// Writes "HH:MM:SS.mmm", two spaces, the text and CR LF in one write. Does nothing while logging is off.
void WriteLog(const wchar_t* text);

}  // namespace corvantile
