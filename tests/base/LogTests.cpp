// How OpenLog opens the log file when a link may have been planted at its name. Wine 8 shows no reparse point
// to a program: CreateSymbolicLinkW reports success and creates nothing, and a Unix symbolic link in a Wine
// drive reads as a plain file and is followed even with FILE_FLAG_OPEN_REPARSE_POINT. So this program hands
// OpenLog file calls of its own: they pass each call on to kernel32, show how the log is opened, and can make
// the opened file answer as a reparse point.
#include "base/Log.h"

#include "tests/support/Files.h"
#include "tests/support/TempDirectory.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cwchar>
#include <ostream>
#include <string>
#include <vector>

namespace corvantile {
namespace {

using testing::Bytes;
using testing::ReadFileBytes;
using testing::TempDirectory;

constexpr wchar_t kLogName[] = L"\\CorvantileUpdater.log";

// What the opened log file answers when asked what it is.
enum class Answer { AsItIs, ReparsePoint, QueryFails };

// Also the cases' names.
void PrintTo(Answer answer, std::ostream* out) {
    *out << (answer == Answer::AsItIs ? "PlainFile" : answer == Answer::ReparsePoint ? "ReparsePoint" : "QueryFails");
}

struct LogOpen {
    std::wstring path;
    DWORD disposition;
    DWORD flagsAndAttributes;
    HANDLE handle;
};

// The recorders' state: plain functions cannot capture.
std::vector<LogOpen> logOpens;
Answer answer = Answer::AsItIs;

HANDLE WINAPI RecordingCreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                  DWORD disposition, DWORD flagsAndAttributes, HANDLE templateFile) {
    const HANDLE file = ::CreateFileW(name, access, share, security, disposition, flagsAndAttributes, templateFile);
    const DWORD error = ::GetLastError();
    logOpens.push_back({name != nullptr ? name : L"", disposition, flagsAndAttributes, file});
    ::SetLastError(error);
    return file;
}

BOOL WINAPI ScriptedGetInformation(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information) {
    const BOOL asked = ::GetFileInformationByHandle(file, information);
    if (logOpens.empty() || file != logOpens.back().handle) return asked;
    if (answer == Answer::QueryFails) {
        ::SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    if (answer == Answer::ReparsePoint) information->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    return asked;
}

const LogFileCalls kRecorders{&RecordingCreateFile, &ScriptedGetInformation};

class OpenLogAtAPlantedLink : public ::testing::TestWithParam<Answer> {
protected:
    void SetUp() override {
        logOpens.clear();
        answer = GetParam();
    }

    // Opens the log in the scratch directory and writes one line; OpenLog says whether logging is on.
    void OpenAndWrite() {
        std::wstring directory = scratch_.path();
        EXPECT_EQ(OpenLog(directory, kRecorders), GetParam() == Answer::AsItIs);
        // The scripted answers go only to a file the recorder saw opened: without it these cases prove nothing.
        ASSERT_FALSE(logOpens.empty()) << "OpenLog opens the log through the calls it is handed";
        WriteLog(L"a line");
    }

    [[nodiscard]] std::wstring LogPath() const { return scratch_.path() + kLogName; }

    TempDirectory scratch_{TempDirectory::Parent::UserTemp};
};

TEST_P(OpenLogAtAPlantedLink, OpensTheNameItselfNeverWhatALinkThereNames) {
    OpenAndWrite();

    ASSERT_EQ(logOpens.size(), 1u);
    EXPECT_EQ(logOpens[0].path, LogPath());
    EXPECT_EQ(logOpens[0].disposition, static_cast<DWORD>(CREATE_ALWAYS)) << "each run replaces the log";
    EXPECT_NE(logOpens[0].flagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT, 0u)
        << "a link at the log's name is opened as itself, not followed";
}

TEST_P(OpenLogAtAPlantedLink, WritesOnlyToAFileThatIsNoReparsePoint) {
    OpenAndWrite();

    const std::optional<Bytes> bytes = ReadFileBytes(LogPath());
    ASSERT_TRUE(bytes.has_value()) << "the name is opened in every case";
    if (GetParam() == Answer::AsItIs) {
        EXPECT_EQ(bytes->size(), 2 * (12 + 2 + std::wcslen(L"a line") + 2)) << "logging is on";
    } else {
        EXPECT_TRUE(bytes->empty()) << "nothing is written through a reparse point, or what may be one";
        EXPECT_TRUE(testing::CanOpenExclusively(LogPath())) << "logging is off and the file is let go";
    }
}

INSTANTIATE_TEST_SUITE_P(Answers, OpenLogAtAPlantedLink,
                         ::testing::Values(Answer::AsItIs, Answer::ReparsePoint, Answer::QueryFails),
                         ::testing::PrintToStringParamName());

}  // namespace
}  // namespace corvantile
