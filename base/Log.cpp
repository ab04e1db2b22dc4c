#include "base/Log.h"

#include "base/LogLine.h"
#include "base/UniqueHandles.h"

#include <windows.h>

#include <vector>

namespace corvantile {

namespace {

constexpr wchar_t kLogFileName[] = L"CorvantileUpdater.log";

// Owned by the process, not closed by the program: the updater thread may still write a line while the
// process ends, and must never meet a closed (or reused) handle.
HANDLE logFile = INVALID_HANDLE_VALUE;

bool IsExistingDirectory(const std::wstring& path) {
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Creates the missing levels of the directory path below its deepest existing prefix. Only the backslash
// separates levels; a path none of whose prefixes exists (a relative path whose first level is missing)
// gets nothing created. Failures surface when the log file itself cannot be created.
void CreateMissingLevels(std::wstring candidate) {
    std::vector<std::wstring> missing;
    while (!IsExistingDirectory(candidate)) {
        missing.push_back(candidate);
        const std::size_t lastBackslash = candidate.rfind(L'\\');
        if (candidate.empty() || lastBackslash == std::wstring::npos) return;
        candidate.resize(lastBackslash);
    }
    for (auto level = missing.rbegin(); level != missing.rend(); ++level) ::CreateDirectoryW(level->c_str(), nullptr);
}

// False for a reparse point (a symbolic link, a junction), and when the file cannot be asked.
bool IsPlainFile(HANDLE file, const LogFileCalls& calls) {
    BY_HANDLE_FILE_INFORMATION information{};
    return calls.getFileInformation(file, &information) &&
           (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

}  // namespace

bool OpenLog(std::wstring& logDirectory, const LogFileCalls& calls) {
    if (logDirectory.empty()) return false;
    if (logDirectory.back() != L'\\') logDirectory += L'\\';
    CreateMissingLevels(logDirectory.substr(0, logDirectory.size() - 1));
    const std::wstring path = logDirectory + kLogFileName;
    // The updater runs elevated, often from a folder the user can write: a link planted at the log's name must
    // not make it overwrite another file. The flag opens (and truncates) the link itself, never its target,
    // and a file that is still a reparse point once opened gets nothing written through it.
    UniqueFile opened(calls.createFile(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    logFile = opened.valid() && IsPlainFile(opened.get(), calls) ? opened.release() : INVALID_HANDLE_VALUE;
    return logFile != INVALID_HANDLE_VALUE;
}

void WriteLog(const wchar_t* text) {
    if (logFile == INVALID_HANDLE_VALUE) return;
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    const std::wstring line = FormatLogLine({now.wHour, now.wMinute, now.wSecond, now.wMilliseconds}, text);
    // One write per line, so a line is never split and nothing is held back if the process ends.
    DWORD written = 0;
    ::WriteFile(logFile, line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, nullptr);
}

}  // namespace corvantile
