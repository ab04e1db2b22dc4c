// The fixture of the black-box tests: a private directory tree per test with the updater under test in
// "app" and the child's working directory "work", and helpers to run it and look at what it left.
#pragma once

#include "tests/blackbox/support/ProcessDriver.h"
#include "tests/blackbox/support/UpdaterBuilder.h"
#include "tests/support/Files.h"
#include "tests/support/LogReader.h"
#include "tests/support/SystemTexts.h"
#include "tests/support/TempDirectory.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace corvantile::blackbox {

// The updater's texts (kExtracting, kCaption, kUsageText, ...) by their catalogue names.
using namespace texts;

inline constexpr wchar_t kLogFileName[] = L"CorvantileUpdater.log";
inline constexpr wchar_t kUpdaterFileName[] = L"CorvantileUpdater.exe";

class UpdaterTest : public ::testing::Test {
protected:
    void SetUp() override;

    // Root of this test's tree, and paths below it.
    [[nodiscard]] const std::wstring& Root() const { return root_.path(); }
    [[nodiscard]] std::wstring InRoot(const std::wstring& relative) const { return root_ / relative; }
    [[nodiscard]] std::wstring WorkDirectory() const { return root_ / L"work"; }
    [[nodiscard]] std::wstring InWork(const std::wstring& relative) const {
        return JoinPath(WorkDirectory(), relative);
    }

    // Makes `directory`\CorvantileUpdater.exe (directory relative to the root, created as needed) with the
    // package appended; empty when that failed (the test has then failed too).
    [[nodiscard]] std::wstring CreateUpdater(const Bytes& package, const std::wstring& directory = L"app");

    // Runs an updater with the arguments in the working directory "work" and waits for its end.
    [[nodiscard]] ProcessRun RunUpdater(const std::wstring& updater, const std::vector<std::wstring>& arguments) const;

    // Everything below the root, relative to it (see ListTree).
    [[nodiscard]] Lines Tree() const { return ListTree(Root()); }

    // The well-formed log in `directory`, line by line; fails when it is missing or breaks the layout.
    [[nodiscard]] ::testing::AssertionResult LogHolds(const std::wstring& directory, const Lines& messages) const;

    // The file exists with exactly these bytes.
    [[nodiscard]] static ::testing::AssertionResult FileHolds(const std::wstring& path, const Bytes& bytes);

    // The run ended by itself (started, not killed).
    [[nodiscard]] static ::testing::AssertionResult Finished(const ProcessRun& run);

    // The run ended by itself with this exit code. Fatal when it did not end by itself: call it inside
    // ASSERT_NO_FATAL_FAILURE.
    static void ExpectExitCode(const ProcessRun& run, DWORD exitCode);
    // As ExpectExitCode, and the run showed exactly these boxes (none unless given).
    static void ExpectEnded(const ProcessRun& run, DWORD exitCode, const std::vector<MessageBoxRecord>& boxes = {});

    // Makes these directories below "work", in this order; fails at the first that cannot be made.
    [[nodiscard]] ::testing::AssertionResult MakeWorkDirectories(const Lines& names) const;

    // `directory` holds the update file of OrdinaryFiles(), byte for byte.
    [[nodiscard]] static ::testing::AssertionResult HoldsTheOrdinaryUpdate(const std::wstring& directory);

    // The log in `directory` is that of an extraction that went well: the one line kExtracting.
    [[nodiscard]] ::testing::AssertionResult HoldsTheExtractionLog(const std::wstring& directory) const;

    // A product name and version and one small update file, for tests about something else.
    static const std::vector<UpdateFile>& OrdinaryFiles();
    [[nodiscard]] static Bytes OrdinaryPackage();

private:
    // On drive C:, as "work" is when the updater runs in it: a drive-relative name such as "C:x.msp" then
    // lands inside the tree, where the tests see it.
    TempDirectory root_{TempDirectory::Parent::UserTemp};
};

// With app\CorvantileUpdater.exe holding OrdinaryPackage(), for tests that run one updater many ways.
class OrdinaryUpdaterTest : public UpdaterTest {
protected:
    void SetUp() override;

    // Runs that updater (see RunUpdater).
    [[nodiscard]] ProcessRun Run(const std::vector<std::wstring>& arguments) const {
        return RunUpdater(updater_, arguments);
    }

    std::wstring updater_;
};

}  // namespace corvantile::blackbox
