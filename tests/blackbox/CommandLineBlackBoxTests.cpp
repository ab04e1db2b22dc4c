// The updater's command line, seen from outside: which runs it accepts, where -x and -l without a directory
// point, and the usage box for everything else.
#include "tests/blackbox/UpdaterTest.h"

#include <algorithm>

namespace corvantile::blackbox {
namespace {

class BlackBoxCommandLine : public OrdinaryUpdaterTest {
protected:
    [[nodiscard]] ProcessRun Run(const std::vector<std::wstring>& arguments) const {
        return RunUpdater(updater_, arguments);
    }

    [[nodiscard]] static std::wstring Quoted(const std::vector<std::wstring>& arguments) {
        std::wstring line;
        for (const std::wstring& argument : arguments) line += (line.empty() ? L"" : L" ") + QuoteArgument(argument);
        return line;
    }
};

// Relative to the root. The updater lies in "app" and runs in "work", so a directory taken from the wrong one
// shows.
const std::wstring kAppDirectory = L"app\\";
const std::wstring kUpdateFile = L"update1.msp";

// No switch: the progress dialog, closed in Ready without a run, ends with 0 and leaves nothing behind.
TEST_F(BlackBoxCommandLine, NoArgumentsShowsTheDialogAndWritesNothing) {
    const std::vector<std::wstring> before = Tree();

    const ProcessRun run = Run({});

    ASSERT_TRUE(Finished(run));
    EXPECT_EQ(run.exitCode, 0u) << run.Describe();
    EXPECT_EQ(run.progressDialogs, 1) << run.Describe();
    EXPECT_TRUE(run.boxes.empty()) << run.Describe();
    EXPECT_EQ(Tree(), before) << "no log file, no extracted file";
}

TEST_F(BlackBoxCommandLine, ExtractWithoutDirectoryWritesBesideTheUpdater) {
    // After -x without a directory nothing more is read: not -a, not "-out" (a switch-like name), not -l.
    const std::vector<std::vector<std::wstring>> commandLines{
        {L"-x"}, {L"-x", L"-a"}, {L"-x", L"-out"}, {L"-x", L"-l"}};
    const std::vector<std::wstring> before = Tree();
    std::vector<std::wstring> expectedTree = before;
    expectedTree.push_back(kAppDirectory + kUpdateFile);
    std::sort(expectedTree.begin(), expectedTree.end());

    for (const std::vector<std::wstring>& arguments : commandLines) {
        SCOPED_TRACE(Narrow(Quoted(arguments)));
        const ProcessRun run = Run(arguments);

        ASSERT_TRUE(Finished(run));
        EXPECT_EQ(run.exitCode, 0u) << run.Describe();
        EXPECT_TRUE(run.boxes.empty()) << run.Describe();
        EXPECT_TRUE(FileHolds(InRoot(kAppDirectory + kUpdateFile), OrdinaryFiles()[0].data));
        EXPECT_EQ(Tree(), expectedTree) << "only the update file, no log file, no directory";
        ::DeleteFileW(InRoot(kAppDirectory + kUpdateFile).c_str());
    }
}

TEST_F(BlackBoxCommandLine, ExtractAndLogIntoGivenDirectories) {
    ASSERT_TRUE(MakeDirectory(InWork(L"out")));
    ASSERT_TRUE(MakeDirectory(InWork(L"logs")));

    const ProcessRun run = Run({L"-x", L"out", L"-l", L"logs"});

    ASSERT_TRUE(Finished(run));
    EXPECT_EQ(run.exitCode, 0u) << run.Describe();
    EXPECT_TRUE(run.boxes.empty()) << run.Describe();
    EXPECT_TRUE(FileHolds(InWork(L"out\\update1.msp"), OrdinaryFiles()[0].data));
    EXPECT_TRUE(LogHolds(InWork(L"logs"), {kExtracting}));
    EXPECT_EQ(Tree(), (std::vector<std::wstring>{L"app\\", L"app\\CorvantileUpdater.exe", L"work\\", L"work\\logs\\",
                                                 L"work\\logs\\CorvantileUpdater.log", L"work\\out\\",
                                                 L"work\\out\\update1.msp"}));
}

TEST_F(BlackBoxCommandLine, LogWithoutDirectoryInTheDialogModesGoesBesideTheUpdater) {
    struct Case {
        std::vector<std::wstring> arguments;
        DWORD exitCode;
        std::vector<std::wstring> log;
    };
    // "-l -a": the -a after a directory-less -l is never read, so the dialog waits in Ready and is closed
    // without a run. "-a -l": a silent run, whose update fails because the package's files are no patches.
    const std::vector<Case> cases = {{{L"-l", L"-a"}, 0, {}}, {{L"-a", L"-l"}, 1, {kExtracting}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(Quoted(c.arguments)));
        const ProcessRun run = Run(c.arguments);

        ASSERT_TRUE(Finished(run));
        EXPECT_EQ(run.exitCode, c.exitCode) << run.Describe();
        EXPECT_TRUE(run.boxes.empty()) << run.Describe();
        const std::wstring log = InRoot(kAppDirectory + kLogFileName);
        const std::optional<Bytes> bytes = ReadFileBytes(log);
        ASSERT_TRUE(bytes.has_value()) << "no log beside the updater";
        EXPECT_TRUE(ParseLog(*bytes).WellFormed()) << ParseLog(*bytes).problem;
        EXPECT_EQ(ParseLog(*bytes).Messages(), c.log);
        EXPECT_TRUE(ListTree(WorkDirectory()).empty()) << "nothing in the working directory";
        ::DeleteFileW(log.c_str());
    }
}

TEST_F(BlackBoxCommandLine, EmptyLogDirectoryLeavesLoggingOffAndAllowsALaterOne) {
    ASSERT_TRUE(MakeDirectory(InWork(L"out1")));
    ASSERT_TRUE(MakeDirectory(InWork(L"out2")));
    ASSERT_TRUE(MakeDirectory(InWork(L"logs")));

    const ProcessRun withoutLog = Run({L"-x", L"out1", L"-l", L""});
    ASSERT_TRUE(Finished(withoutLog));
    EXPECT_EQ(withoutLog.exitCode, 0u) << withoutLog.Describe();
    EXPECT_EQ(Tree(), (std::vector<std::wstring>{L"app\\", L"app\\CorvantileUpdater.exe", L"work\\", L"work\\logs\\",
                                                 L"work\\out1\\", L"work\\out1\\update1.msp", L"work\\out2\\"}))
        << "an empty log directory writes no log anywhere";

    const ProcessRun withLaterLog = Run({L"-x", L"out2", L"-l", L"", L"-l", L"logs"});
    ASSERT_TRUE(Finished(withLaterLog));
    EXPECT_EQ(withLaterLog.exitCode, 0u) << withLaterLog.Describe();
    EXPECT_TRUE(withLaterLog.boxes.empty()) << withLaterLog.Describe();
    EXPECT_TRUE(FileHolds(InWork(L"out2\\update1.msp"), OrdinaryFiles()[0].data));
    EXPECT_TRUE(LogHolds(InWork(L"logs"), {kExtracting}));
}

TEST_F(BlackBoxCommandLine, RejectedCommandLinesShowTheUsageAndTouchNothing) {
    // Directories that a run which went ahead anyway would write into; "out" and "b" stay missing, so one
    // that created its directories shows too.
    ASSERT_TRUE(MakeDirectory(InWork(L"a")));
    ASSERT_TRUE(MakeDirectory(InWork(L"logs")));
    const std::vector<std::vector<std::wstring>> commandLines{
        {L"-a", L"-x"},
        {L"-x", InWork(L"out"), L"-a"},
        {L"-a", L"-a"},
        {L"-x", L"a", L"-x", L"b"},
        {L"-l", L"a", L"-l", L"b"},
        {L"-X"},
        {L"/x"},
        {L"-a", L"foo"},
        {L"-A"},
        {L"--a"},
        {L"-ax"},
        {L"-l", L"logs", L"-x", L"a", L"-q"},
    };
    const std::vector<std::wstring> before = Tree();

    for (const std::vector<std::wstring>& arguments : commandLines) {
        SCOPED_TRACE(Narrow(Quoted(arguments)));
        const ProcessRun run = Run(arguments);

        ASSERT_TRUE(Finished(run));
        EXPECT_EQ(run.exitCode, 1u) << run.Describe();
        EXPECT_EQ(run.boxes, (std::vector<MessageBoxRecord>{{kCaption, kUsageText}}));
        EXPECT_EQ(Tree(), before) << "no log file, no directory, no update file";
    }
}

}  // namespace
}  // namespace corvantile::blackbox
