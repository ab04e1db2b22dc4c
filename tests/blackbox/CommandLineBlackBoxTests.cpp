// The updater's command line, seen from outside: which runs it accepts, where -x and -l without a directory
// point, and the usage box for everything else.
#include "tests/blackbox/UpdaterTest.h"

#include <algorithm>

namespace corvantile::blackbox {
namespace {

using BlackBoxCommandLine = OrdinaryUpdaterTest;

// Relative to the root. The updater lies in "app" and runs in "work", so a directory taken from the wrong one
// shows.
const std::wstring kAppDirectory = L"app\\";
const std::wstring kUpdateFile = L"update1.msp";

// No switch: the progress dialog, closed in Ready without a run, ends with 0 and leaves nothing behind.
TEST_F(BlackBoxCommandLine, NoArgumentsShowsTheDialogAndWritesNothing) {
    const Lines before = Tree();

    const ProcessRun run = Run({});

    ASSERT_NO_FATAL_FAILURE(ExpectEnded(run, 0));
    EXPECT_EQ(run.progressDialogs, 1) << run.Describe();
    EXPECT_EQ(Tree(), before) << "no log file, no extracted file";
}

TEST_F(BlackBoxCommandLine, SwitchesWithoutDirectoryWriteBesideTheUpdaterAndParsingGoesOn) {
    // A switch after -x or -l without a directory is read too: "-x -l" logs, "-l -x" extracts.
    struct Case {
        std::vector<std::wstring> arguments;
        bool logged;
    };
    const std::vector<Case> cases{{{L"-x"}, false}, {{L"-x", L"-l"}, true}, {{L"-l", L"-x"}, true}};
    const Lines before = Tree();

    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(QuoteArguments(c.arguments)));
        Lines expectedTree = before;
        expectedTree.push_back(kAppDirectory + kUpdateFile);
        if (c.logged) expectedTree.push_back(kAppDirectory + kLogFileName);
        std::sort(expectedTree.begin(), expectedTree.end());

        const ProcessRun run = Run(c.arguments);

        ASSERT_NO_FATAL_FAILURE(ExpectEnded(run, 0));
        EXPECT_TRUE(HoldsTheOrdinaryUpdate(InRoot(L"app")));
        EXPECT_EQ(Tree(), expectedTree) << "only the update file and the log asked for, no directory";
        if (c.logged) {
            EXPECT_TRUE(HoldsTheExtractionLog(InRoot(L"app")));
        }
        ::DeleteFileW(InRoot(kAppDirectory + kUpdateFile).c_str());
        ::DeleteFileW(InRoot(kAppDirectory + kLogFileName).c_str());
    }
}

TEST_F(BlackBoxCommandLine, ExtractAndLogIntoGivenDirectories) {
    ASSERT_TRUE(MakeWorkDirectories({L"out", L"logs"}));

    const ProcessRun run = Run({L"-x", L"out", L"-l", L"logs"});

    ASSERT_NO_FATAL_FAILURE(ExpectEnded(run, 0));
    EXPECT_TRUE(HoldsTheOrdinaryUpdate(InWork(L"out")));
    EXPECT_TRUE(HoldsTheExtractionLog(InWork(L"logs")));
    EXPECT_EQ(Tree(), (Lines{L"app\\", L"app\\CorvantileUpdater.exe", L"work\\", L"work\\logs\\",
                             L"work\\logs\\CorvantileUpdater.log", L"work\\out\\", L"work\\out\\update1.msp"}));
}

TEST_F(BlackBoxCommandLine, LogWithoutDirectoryInTheDialogModesGoesBesideTheUpdater) {
    // Either order is a silent run, whose update fails because the package's files are no patches.
    for (const Lines& arguments : {Lines{L"-l", L"-a"}, Lines{L"-a", L"-l"}}) {
        SCOPED_TRACE(Narrow(QuoteArguments(arguments)));
        const ProcessRun run = Run(arguments);

        ASSERT_NO_FATAL_FAILURE(ExpectEnded(run, 1));
        EXPECT_TRUE(HoldsTheExtractionLog(InRoot(L"app"))) << "beside the updater";
        EXPECT_TRUE(ListTree(WorkDirectory()).empty()) << "nothing in the working directory";
        ::DeleteFileW(InRoot(kAppDirectory + kLogFileName).c_str());
    }
}

TEST_F(BlackBoxCommandLine, EmptyLogDirectoryLeavesLoggingOffAndAllowsALaterOne) {
    ASSERT_TRUE(MakeWorkDirectories({L"out1", L"out2", L"logs"}));

    const ProcessRun withoutLog = Run({L"-x", L"out1", L"-l", L""});
    ASSERT_NO_FATAL_FAILURE(ExpectExitCode(withoutLog, 0));
    EXPECT_EQ(Tree(), (Lines{L"app\\", L"app\\CorvantileUpdater.exe", L"work\\", L"work\\logs\\", L"work\\out1\\",
                             L"work\\out1\\update1.msp", L"work\\out2\\"}))
        << "an empty log directory writes no log anywhere";

    const ProcessRun withLaterLog = Run({L"-x", L"out2", L"-l", L"", L"-l", L"logs"});
    ASSERT_NO_FATAL_FAILURE(ExpectEnded(withLaterLog, 0));
    EXPECT_TRUE(HoldsTheOrdinaryUpdate(InWork(L"out2")));
    EXPECT_TRUE(HoldsTheExtractionLog(InWork(L"logs")));
}

TEST_F(BlackBoxCommandLine, RejectedCommandLinesShowTheUsageUnlessUnattendedAndTouchNothing) {
    // Directories that a run which went ahead anyway would write into; "out" and "b" stay missing, so one
    // that created its directories shows too. With -a anywhere nobody is there to close a box.
    ASSERT_TRUE(MakeWorkDirectories({L"a", L"logs"}));
    struct Case {
        std::vector<std::wstring> arguments;
        bool usageBox;
    };
    const std::vector<Case> cases{
        {{L"-a", L"-x"}, false},
        {{L"-x", InWork(L"out"), L"-a"}, false},
        {{L"-x", L"-a"}, false},
        {{L"-a", L"-a"}, false},
        {{L"-a", L"foo"}, false},
        {{L"-x", L"a", L"-x", L"b"}, true},
        {{L"-l", L"a", L"-l", L"b"}, true},
        {{L"-l", L"-l"}, true},
        {{L"-x", L"-out"}, true},
        {{L"-X"}, true},
        {{L"/x"}, true},
        {{L"-A"}, true},
        {{L"--a"}, true},
        {{L"-ax"}, true},
        {{L"-l", L"logs", L"-x", L"a", L"-q"}, true},
    };
    const Lines before = Tree();

    for (const Case& c : cases) {
        SCOPED_TRACE(Narrow(QuoteArguments(c.arguments)));
        const ProcessRun run = Run(c.arguments);

        const std::vector<MessageBoxRecord> usage{{kCaption, kUsageText}};
        ASSERT_NO_FATAL_FAILURE(ExpectEnded(run, 1, c.usageBox ? usage : std::vector<MessageBoxRecord>{}));
        EXPECT_EQ(run.progressDialogs, 0) << run.Describe();
        EXPECT_EQ(Tree(), before) << "no log file, no directory, no update file";
    }
}

// Runs with -a that end before the dialog: no window at all, an exit code of their own, and the reason in the
// log when there is one. A log that cannot be made ends the run before the package is read.
TEST_F(BlackBoxCommandLine, UnattendedRunsThatEndEarlyShowNoWindow) {
    const std::wstring empty = CreateUpdater({}, L"empty");
    const std::wstring damaged = CreateUpdater(Prefix(HeaderBytes(), 11), L"damaged");
    ASSERT_FALSE(empty.empty() || damaged.empty());
    ASSERT_TRUE(WriteFileBytes(InWork(L"blocked"), {}));
    struct Case {
        const char* what;
        const std::wstring& updater;
        std::vector<std::wstring> arguments;
        DWORD exitCode;
        Lines log;  // in "logs", which the run creates (.\logs); none when empty
    };
    const std::vector<Case> cases{
        {"refused after the log", updater_, {L"-l", L".\\logs", L"-a", L"-a"}, 1, {L"Command line not accepted."}},
        {"refused before the log", updater_, {L"-a", L"-a", L"-l", L".\\logs"}, 1, {}},
        {"no package", empty, {L"-a", L"-l", L".\\logs"}, 1, {kPackageErrorText}},
        {"damaged header", damaged, {L"-a", L"-l", L".\\logs"}, 1, {kProductNameNotRead}},
        {"a file where the log directory goes", updater_, {L"-a", L"-l", L"blocked"}, 1622, {}},
        {"a drive that does not exist", updater_, {L"-a", L"-l", L"R:\\logs"}, 1622, {}},
        // What CommandLineToArgvW makes of: -l "<work>\Log Dir\" -a
        {"the quoting trap", updater_, {L"-l", InWork(L"Log Dir\" -a")}, 1622, {}},
    };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ProcessRun run = RunUpdater(c.updater, c.arguments);

        ASSERT_NO_FATAL_FAILURE(ExpectEnded(run, c.exitCode));
        EXPECT_EQ(run.progressDialogs, 0) << run.Describe();
        if (c.log.empty()) {
            EXPECT_FALSE(FileExists(InWork(L"logs\\") + kLogFileName)) << "no log";
        } else {
            EXPECT_TRUE(LogHolds(InWork(L"logs"), c.log));
        }
        RemoveTree(InWork(L"logs"));
    }
}

}  // namespace
}  // namespace corvantile::blackbox
