#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

namespace corvantile {
namespace {

constexpr wchar_t kProgramPath[] = L"C:\\Program Files\\Corvantile\\Update.exe";
constexpr wchar_t kProgramDirectory[] = L"C:\\Program Files\\Corvantile";

struct Parsed {
    CommandLineSettings settings;
    int modulePathRequests = 0;
};

Parsed Parse(std::initializer_list<const wchar_t*> switches,
             std::optional<std::wstring> modulePath = std::wstring(kProgramPath)) {
    std::vector<const wchar_t*> arguments{L"Update.exe"};
    arguments.insert(arguments.end(), switches);
    Parsed parsed;
    ParseCommandLine(static_cast<int>(arguments.size()), arguments.data(), parsed.settings, [&] {
        ++parsed.modulePathRequests;
        return modulePath;
    });
    return parsed;
}

TEST(CommandLine, NoArgumentsIsAnInteractiveRunWithoutLog) {
    const Parsed parsed = Parse({});
    EXPECT_EQ(parsed.settings.runMode, RunMode::Interactive);
    EXPECT_TRUE(parsed.settings.outputDirectory.empty());
    EXPECT_TRUE(parsed.settings.logDirectory.empty());
    EXPECT_EQ(parsed.modulePathRequests, 0);
}

TEST(CommandLine, GivenDirectoriesAreStoredUnchanged) {
    const Parsed parsed = Parse({L"-x", L" out/dir\\ ", L"-l", L"logs"});
    EXPECT_EQ(parsed.settings.runMode, RunMode::Extract);
    EXPECT_EQ(parsed.settings.outputDirectory, L" out/dir\\ ");
    EXPECT_EQ(parsed.settings.logDirectory, L"logs");
    EXPECT_EQ(parsed.modulePathRequests, 0);

    const Parsed silent = Parse({L"-l", L"D:\\Logs", L"-a"});
    EXPECT_EQ(silent.settings.runMode, RunMode::Silent);
    EXPECT_EQ(silent.settings.logDirectory, L"D:\\Logs");
}

TEST(CommandLine, OmittedDirectoryIsTheProgramsOwnAndParsingGoesOn) {
    // What follows a switch without a directory is read as a switch, under the same conflicts.
    struct Case {
        std::initializer_list<const wchar_t*> switches;
        RunMode mode;
        const wchar_t* outputDirectory;
        const wchar_t* logDirectory;
    };
    for (const Case& c : {Case{{L"-x"}, RunMode::Extract, kProgramDirectory, L""},
                          Case{{L"-x", L"-l"}, RunMode::Extract, kProgramDirectory, kProgramDirectory},
                          Case{{L"-l", L"-x"}, RunMode::Extract, kProgramDirectory, kProgramDirectory},
                          Case{{L"-l", L"-x", L"out"}, RunMode::Extract, L"out", kProgramDirectory},
                          Case{{L"-l", L"-a"}, RunMode::Silent, L"", kProgramDirectory},
                          Case{{L"-a", L"-l"}, RunMode::Silent, L"", kProgramDirectory},
                          Case{{L"-x", L"-l", L"logs"}, RunMode::Extract, kProgramDirectory, L"logs"}}) {
        const Parsed parsed = Parse(c.switches);
        EXPECT_EQ(parsed.settings.runMode, c.mode);
        EXPECT_EQ(parsed.settings.outputDirectory, c.outputDirectory);
        EXPECT_EQ(parsed.settings.logDirectory, c.logDirectory);
    }
}

TEST(CommandLine, ProgramPathWithoutBackslashOrUnavailableLeavesTheSettingEmpty) {
    EXPECT_TRUE(Parse({L"-l"}, std::wstring(L"Update.exe")).settings.logDirectory.empty());
    const Parsed unavailable = Parse({L"-x", L"-l", L"-l", L"logs"}, std::nullopt);
    EXPECT_EQ(unavailable.settings.runMode, RunMode::Extract);
    EXPECT_TRUE(unavailable.settings.outputDirectory.empty());
    // The first -l stored nothing, so a second one is still accepted.
    EXPECT_EQ(unavailable.settings.logDirectory, L"logs");
    // A path that ends in a backslash gives a directory cut before it.
    EXPECT_EQ(Parse({L"-x"}, std::wstring(L"\\\\?\\C:\\a\\b.exe")).settings.outputDirectory, L"\\\\?\\C:\\a");
}

TEST(CommandLine, EmptyLogDirectoryKeepsLoggingOffAndAllowsAnotherSwitch) {
    const Parsed once = Parse({L"-l", L""});
    EXPECT_EQ(once.settings.runMode, RunMode::Interactive);
    EXPECT_TRUE(once.settings.logDirectory.empty());

    const Parsed twice = Parse({L"-l", L"", L"-l", L"logs"});
    EXPECT_EQ(twice.settings.runMode, RunMode::Interactive);
    EXPECT_EQ(twice.settings.logDirectory, L"logs");

    const Parsed emptyOutput = Parse({L"-x", L""});
    EXPECT_EQ(emptyOutput.settings.runMode, RunMode::Extract);
    EXPECT_TRUE(emptyOutput.settings.outputDirectory.empty());
    EXPECT_EQ(emptyOutput.modulePathRequests, 0);
}

TEST(CommandLine, ConflictsAndUnknownArgumentsAreInvalid) {
    for (auto switches : {std::initializer_list<const wchar_t*>{L"-a", L"-x"},
                          {L"-x", L"out", L"-a"},
                          {L"-a", L"-a"},
                          {L"-x", L"a", L"-x", L"b"},
                          {L"-l", L"a", L"-l", L"b"},
                          {L"-X"},
                          {L"/x"},
                          {L"-A"},
                          {L"--a"},
                          {L"-ax"},
                          {L"-a", L"foo"},
                          {L"-x", L"out", L"foo"},
                          {L"-l", L"logs", L""},
                          {L""},
                          {L"-x", L"-a"},
                          {L"-x", L"-x"},
                          {L"-x", L"-out"},
                          {L"-l", L"-l"},
                          {L"-l", L"-X"},
                          {L"-x", L"-l", L"bogus", L"/x"}}) {
        EXPECT_EQ(Parse(switches).settings.runMode, RunMode::Invalid);
    }
}

TEST(CommandLine, UnattendedWhereverMinusAStands) {
    // Also behind the argument that ended parsing: a refused command line of a deployment tool shows no box.
    struct Case {
        std::initializer_list<const wchar_t*> switches;
        bool unattended;
    };
    for (const Case& c : {Case{{L"-a"}, true}, Case{{L"-x", L"out", L"bad", L"-a"}, true}, Case{{L"-a", L"-a"}, true},
                          Case{{L"-l", L"-a"}, true}, Case{{L"-A", L"--a"}, false},
                          Case{{L"-x", L"-l", L"logs"}, false}, Case{{}, false},
                          // What CommandLineToArgvW makes of -l "C:\Log Dir\" -a, and a directory that is one.
                          Case{{L"-l", L"C:\\Log Dir\" -a"}, true}, Case{{L"-l", L"C:\\x -a y"}, false}}) {
        EXPECT_EQ(Parse(c.switches).settings.unattended, c.unattended);
    }
}

TEST(CommandLine, ParsingStopsAtTheFirstRejectedArgument) {
    // The -l after the bad argument is never reached, and the directory of the earlier -x stays stored.
    const Parsed parsed = Parse({L"-x", L"out", L"bad", L"-l", L"logs"});
    EXPECT_EQ(parsed.settings.runMode, RunMode::Invalid);
    EXPECT_EQ(parsed.settings.outputDirectory, L"out");
    EXPECT_TRUE(parsed.settings.logDirectory.empty());
    EXPECT_EQ(parsed.modulePathRequests, 0);
}

}  // namespace
}  // namespace corvantile
