#include "app/CommandLine.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <ostream>
#include <vector>

namespace corvantile {
namespace {

constexpr wchar_t kProgramPath[] = L"C:\\Program Files\\Corvantile\\Update.exe";
constexpr wchar_t kProgramDirectory[] = L"C:\\Program Files\\Corvantile";

// The settings a command line was parsed into, and how often the program's own path was asked for on the way.
// Compared as a whole, so an expectation also says which directories stay empty and that no path was asked for.
struct Parsed {
    RunMode mode = RunMode::Interactive;
    std::wstring outputDirectory;
    std::wstring logDirectory;
    int modulePathRequests = 0;
    bool unattended = false;
    bool operator==(const Parsed&) const = default;
};

void PrintTo(const Parsed& parsed, std::ostream* out) {
    *out << "mode " << static_cast<int>(parsed.mode) << ", output " << ::testing::PrintToString(parsed.outputDirectory)
         << ", log " << ::testing::PrintToString(parsed.logDirectory) << ", " << parsed.modulePathRequests
         << " module path requests" << (parsed.unattended ? ", unattended" : "");
}

Parsed Parse(std::initializer_list<const wchar_t*> switches,
             std::optional<std::wstring> modulePath = std::wstring(kProgramPath)) {
    std::vector<const wchar_t*> arguments{L"Update.exe"};
    arguments.insert(arguments.end(), switches);
    CommandLineSettings settings;
    int modulePathRequests = 0;
    ParseCommandLine(static_cast<int>(arguments.size()), arguments.data(), settings, [&] {
        ++modulePathRequests;
        return modulePath;
    });
    return {settings.runMode, settings.outputDirectory, settings.logDirectory, modulePathRequests, settings.unattended};
}

TEST(CommandLine, NoArgumentsIsAnInteractiveRunWithoutLog) {
    EXPECT_EQ(Parse({}), (Parsed{RunMode::Interactive, L"", L""}));
}

TEST(CommandLine, GivenDirectoriesAreStoredUnchanged) {
    EXPECT_EQ(Parse({L"-x", L" out/dir\\ ", L"-l", L"logs"}), (Parsed{RunMode::Extract, L" out/dir\\ ", L"logs"}));
    EXPECT_EQ(Parse({L"-l", L"D:\\Logs", L"-a"}), (Parsed{RunMode::Silent, L"", L"D:\\Logs", 0, true}));
}

TEST(CommandLine, OmittedDirectoryIsTheProgramsOwnAndParsingGoesOn) {
    // What follows a switch without a directory is read as a switch, under the same conflicts. The program's
    // path is asked for once per switch without a directory.
    EXPECT_EQ(Parse({L"-x"}), (Parsed{RunMode::Extract, kProgramDirectory, L"", 1}));
    EXPECT_EQ(Parse({L"-x", L"-l"}), (Parsed{RunMode::Extract, kProgramDirectory, kProgramDirectory, 2}));
    EXPECT_EQ(Parse({L"-l", L"-x"}), (Parsed{RunMode::Extract, kProgramDirectory, kProgramDirectory, 2}));
    EXPECT_EQ(Parse({L"-l", L"-x", L"out"}), (Parsed{RunMode::Extract, L"out", kProgramDirectory, 1}));
    EXPECT_EQ(Parse({L"-l", L"-a"}), (Parsed{RunMode::Silent, L"", kProgramDirectory, 1, true}));
    EXPECT_EQ(Parse({L"-a", L"-l"}), (Parsed{RunMode::Silent, L"", kProgramDirectory, 1, true}));
    EXPECT_EQ(Parse({L"-x", L"-l", L"logs"}), (Parsed{RunMode::Extract, kProgramDirectory, L"logs", 1}));
}

TEST(CommandLine, ProgramPathWithoutBackslashOrUnavailableLeavesTheSettingEmpty) {
    EXPECT_EQ(Parse({L"-l"}, L"Update.exe"), (Parsed{RunMode::Interactive, L"", L"", 1}));
    // The first -l stored nothing, so a second one is still accepted.
    EXPECT_EQ(Parse({L"-x", L"-l", L"-l", L"logs"}, std::nullopt), (Parsed{RunMode::Extract, L"", L"logs", 2}));
    // A path that ends in a backslash gives a directory cut before it.
    EXPECT_EQ(Parse({L"-x"}, L"\\\\?\\C:\\a\\b.exe"), (Parsed{RunMode::Extract, L"\\\\?\\C:\\a", L"", 1}));
}

TEST(CommandLine, EmptyLogDirectoryKeepsLoggingOffAndAllowsAnotherSwitch) {
    EXPECT_EQ(Parse({L"-l", L""}), (Parsed{RunMode::Interactive, L"", L""}));
    EXPECT_EQ(Parse({L"-l", L"", L"-l", L"logs"}), (Parsed{RunMode::Interactive, L"", L"logs"}));
    EXPECT_EQ(Parse({L"-x", L""}), (Parsed{RunMode::Extract, L"", L""}));
}

TEST(CommandLine, ConflictsAndUnknownArgumentsAreInvalid) {
    EXPECT_EQ(Parse({L"-a", L"-x"}).mode, RunMode::Invalid);
    EXPECT_EQ(Parse({L"-x", L"out", L"-a"}).mode, RunMode::Invalid);
    EXPECT_EQ(Parse({L"-a", L"-a"}).mode, RunMode::Invalid);
    EXPECT_EQ(Parse({L"-x", L"a", L"-x", L"b"}).mode, RunMode::Invalid);
    EXPECT_EQ(Parse({L"-l", L"a", L"-l", L"b"}).mode, RunMode::Invalid);
    EXPECT_EQ(Parse({L"-X"}).mode, RunMode::Invalid);
    EXPECT_EQ(Parse({L"/x"}).mode, RunMode::Invalid);
    EXPECT_EQ(Parse({L"-A"}).mode, RunMode::Invalid);
    EXPECT_EQ(Parse({L"--a"}).mode, RunMode::Invalid);
    EXPECT_EQ(Parse({L"-ax"}).mode, RunMode::Invalid);
    EXPECT_EQ(Parse({L"-a", L"foo"}).mode, RunMode::Invalid);
    EXPECT_EQ(Parse({L"-x", L"out", L"foo"}).mode, RunMode::Invalid);
    EXPECT_EQ(Parse({L"-l", L"logs", L""}).mode, RunMode::Invalid);
    EXPECT_EQ(Parse({L""}).mode, RunMode::Invalid);
    EXPECT_EQ(Parse({L"-x", L"-a"}).mode, RunMode::Invalid);
    EXPECT_EQ(Parse({L"-x", L"-x"}).mode, RunMode::Invalid);
    EXPECT_EQ(Parse({L"-x", L"-out"}).mode, RunMode::Invalid);
    EXPECT_EQ(Parse({L"-l", L"-l"}).mode, RunMode::Invalid);
    EXPECT_EQ(Parse({L"-l", L"-X"}).mode, RunMode::Invalid);
    EXPECT_EQ(Parse({L"-x", L"-l", L"bogus", L"/x"}).mode, RunMode::Invalid);
}

TEST(CommandLine, UnattendedWhereverMinusAStands) {
    // Also behind the argument that ended parsing: a refused command line of a deployment tool shows no box.
    EXPECT_TRUE(Parse({L"-a"}).unattended);
    EXPECT_TRUE(Parse({L"-x", L"out", L"bad", L"-a"}).unattended);
    EXPECT_TRUE(Parse({L"-a", L"-a"}).unattended);
    EXPECT_TRUE(Parse({L"-l", L"-a"}).unattended);
    EXPECT_FALSE(Parse({L"-A", L"--a"}).unattended);
    EXPECT_FALSE(Parse({L"-x", L"-l", L"logs"}).unattended);
    EXPECT_FALSE(Parse({}).unattended);
    // What CommandLineToArgvW makes of -l "C:\Log Dir\" -a, and a directory that is one.
    EXPECT_TRUE(Parse({L"-l", L"C:\\Log Dir\" -a"}).unattended);
    EXPECT_FALSE(Parse({L"-l", L"C:\\x -a y"}).unattended);
}

TEST(CommandLine, ParsingStopsAtTheFirstRejectedArgument) {
    // The -l after the bad argument is never reached, and the directory of the earlier -x stays stored.
    EXPECT_EQ(Parse({L"-x", L"out", L"bad", L"-l", L"logs"}), (Parsed{RunMode::Invalid, L"out", L""}));
}

}  // namespace
}  // namespace corvantile
