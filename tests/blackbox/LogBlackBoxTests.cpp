// The log file of a run, byte for byte, and where it goes: the directory walk that creates missing levels,
// and the cases in which the run goes on without a log.
#include "tests/blackbox/UpdaterTest.h"

#include "base/UniqueHandles.h"

namespace corvantile::blackbox {
namespace {

class BlackBoxLog : public OrdinaryUpdaterTest {
protected:
    void SetUp() override {
        OrdinaryUpdaterTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(MakeWorkDirectories({L"out"}));
    }

    // Extracts into "out" with these log arguments; checks that the extraction itself succeeded.
    void RunExtractionLoggingWith(const std::vector<std::wstring>& logArguments) {
        std::vector<std::wstring> arguments{L"-x", L"out"};
        arguments.insert(arguments.end(), logArguments.begin(), logArguments.end());
        const ProcessRun run = Run(arguments);
        ASSERT_NO_FATAL_FAILURE(ExpectEnded(run, 0));
        EXPECT_TRUE(HoldsTheOrdinaryUpdate(InWork(L"out")));
    }
};

unsigned MillisecondsOfDay(const SYSTEMTIME& time) {
    return ((time.wHour * 60u + time.wMinute) * 60u + time.wSecond) * 1000u + time.wMilliseconds;
}

Bytes Utf16Le(std::wstring_view text) {
    Bytes bytes;
    for (wchar_t c : text) {
        bytes.push_back(static_cast<std::uint8_t>(c));
        bytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    return bytes;
}

TEST_F(BlackBoxLog, LineIsTimestampTwoSpacesTextAndCrLfInUtf16) {
    ASSERT_TRUE(MakeWorkDirectories({L"logs"}));
    SYSTEMTIME before{};
    ::GetLocalTime(&before);
    RunExtractionLoggingWith({L"-l", L"logs"});
    SYSTEMTIME after{};
    ::GetLocalTime(&after);

    const std::optional<Bytes> bytes = ReadFileBytes(InWork(L"logs\\CorvantileUpdater.log"));
    ASSERT_TRUE(bytes.has_value());
    const std::wstring_view text = kExtracting;
    ASSERT_EQ(bytes->size(), 2 * (12 + 2 + text.size() + 2)) << "one line, 2 bytes per code unit, no byte order mark";
    // HH:MM:SS.mmm as ASCII digits in UTF-16LE; a 0 of the pattern stands for any digit.
    const std::string_view timestamp = "00:00:00.000";
    for (std::size_t unit = 0; unit < timestamp.size(); ++unit) {
        const std::uint8_t low = (*bytes)[2 * unit];
        EXPECT_EQ((*bytes)[2 * unit + 1], 0) << "code unit " << unit;
        const bool digit = low >= '0' && low <= '9';
        EXPECT_TRUE(timestamp[unit] == '0' ? digit : low == timestamp[unit])
            << "code unit " << unit << " is " << int{low};
    }
    const Bytes rest(bytes->begin() + 24, bytes->end());
    EXPECT_EQ(rest, Concat({Utf16Le(L"  "), Utf16Le(text), Utf16Le(L"\r\n")}));

    const ParsedLog log = ParseLog(*bytes);
    ASSERT_TRUE(log.WellFormed()) << log.problem;
    ASSERT_EQ(log.lines.size(), 1u);
    // Local time, read while the run went on; a run across midnight proves nothing and is let through.
    const unsigned start = MillisecondsOfDay(before);
    const unsigned end = MillisecondsOfDay(after);
    if (start <= end) {
        EXPECT_GE(log.lines[0].MillisecondsOfDay() + 1, start) << "the line's time is local time";
        EXPECT_LE(log.lines[0].MillisecondsOfDay(), end + 1);
    }
}

TEST_F(BlackBoxLog, EachRunReplacesTheLogOfTheRunBefore) {
    ASSERT_TRUE(MakeWorkDirectories({L"logs"}));
    // The first run writes two lines: the update file is already there.
    ASSERT_TRUE(WriteFileBytes(InWork(L"out\\update1.msp"), {1, 2, 3}));
    const ProcessRun first = Run({L"-x", L"out", L"-l", L"logs"});
    ASSERT_TRUE(Finished(first));
    ASSERT_TRUE(LogHolds(InWork(L"logs"), {kExtracting, kFileNotCreated}));

    // The second run's one line is shorter than the first run's two: leftovers would show behind it.
    const std::wstring damaged = CreateUpdater(Prefix(OrdinaryPackage(), 5), L"damaged");
    ASSERT_FALSE(damaged.empty());
    const ProcessRun second = RunUpdater(damaged, {L"-l", L"logs"});
    ASSERT_NO_FATAL_FAILURE(ExpectExitCode(second, 1));
    EXPECT_TRUE(LogHolds(InWork(L"logs"), {kProductNameNotRead}));
}

TEST_F(BlackBoxLog, RelativeDirectoryIsCreatedBelowAnExistingFirstLevel) {
    ASSERT_TRUE(MakeWorkDirectories({L"logroot"}));

    RunExtractionLoggingWith({L"-l", L"logroot\\logs"});

    EXPECT_TRUE(HoldsTheExtractionLog(InWork(L"logroot\\logs")));
}

TEST_F(BlackBoxLog, RelativeDirectoryWithMissingFirstLevelIsNotCreated) {
    RunExtractionLoggingWith({L"-l", L"logs\\deep"});

    EXPECT_EQ(ListTree(WorkDirectory()), (Lines{L"out\\", L"out\\update1.msp"}))
        << "neither level is created, and no log is written";
}

TEST_F(BlackBoxLog, AbsoluteDirectoryGetsItsMissingLevelsCreated) {
    RunExtractionLoggingWith({L"-l", InRoot(L"one\\two")});

    EXPECT_TRUE(HoldsTheExtractionLog(InRoot(L"one\\two")));
}

TEST_F(BlackBoxLog, LevelThatIsAPlainFileLeavesTheRunWithoutLog) {
    ASSERT_TRUE(WriteFileBytes(InWork(L"plain"), {'x'}));

    RunExtractionLoggingWith({L"-l", InWork(L"plain\\logs")});

    EXPECT_EQ(ListTree(WorkDirectory()), (Lines{L"out\\", L"out\\update1.msp", L"plain"}));
    EXPECT_TRUE(FileHolds(InWork(L"plain"), {'x'}));
}

TEST_F(BlackBoxLog, LogHeldOpenWithoutSharingLeavesTheRunWithoutLog) {
    ASSERT_TRUE(MakeWorkDirectories({L"logs"}));
    const Bytes marker = Utf16Le(L"held by another program");
    {
        const UniqueFile held(::CreateFileW(InWork(L"logs\\CorvantileUpdater.log").c_str(),
                                            GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                            nullptr));
        ASSERT_TRUE(held.valid());
        DWORD written = 0;
        ASSERT_TRUE(::WriteFile(held.get(), marker.data(), static_cast<DWORD>(marker.size()), &written, nullptr));

        RunExtractionLoggingWith({L"-l", L"logs"});
    }
    EXPECT_TRUE(FileHolds(InWork(L"logs\\CorvantileUpdater.log"), marker)) << "the held file is not touched";
}

// Where links exist (Windows; Wine 8's CreateSymbolicLinkW reports success and creates nothing, so the case is
// skipped there; LogTests covers the opening itself under Wine).
TEST_F(BlackBoxLog, SymbolicLinkAtTheLogsNameLeavesItsTargetAlone) {
    ASSERT_TRUE(MakeWorkDirectories({L"logs"}));
    const Bytes target{'k', 'e', 'e', 'p'};
    ASSERT_TRUE(WriteFileBytes(InWork(L"target"), target));
    const std::wstring link = InWork(L"logs\\CorvantileUpdater.log");
    ::CreateSymbolicLinkW(link.c_str(), InWork(L"target").c_str(), SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE);
    const DWORD attributes = ::GetFileAttributesW(link.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
        GTEST_SKIP() << "no symbolic link could be made here";
    }

    RunExtractionLoggingWith({L"-l", L"logs"});

    EXPECT_TRUE(FileHolds(InWork(L"target"), target)) << "neither replaced nor written through the link";
}

TEST_F(BlackBoxLog, SwitchWithoutDirectoryLogsBesideTheUpdater) {
    RunExtractionLoggingWith({L"-l"});

    EXPECT_TRUE(HoldsTheExtractionLog(InRoot(L"app")));
    EXPECT_FALSE(FileExists(InWork(kLogFileName))) << "not in the working directory";
}

}  // namespace
}  // namespace corvantile::blackbox
