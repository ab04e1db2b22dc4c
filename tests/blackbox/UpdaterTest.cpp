#include "tests/blackbox/UpdaterTest.h"

#include <algorithm>

namespace corvantile::blackbox {

void UpdaterTest::SetUp() {
    ASSERT_TRUE(FileExists(BuiltUpdaterPath()))
        << "the updater is not beside the test program: " << Narrow(BuiltUpdaterPath());
    ASSERT_TRUE(MakeDirectory(WorkDirectory()));
}

std::wstring UpdaterTest::CreateUpdater(const Bytes& package, const std::wstring& directory) {
    const std::wstring directoryPath = InRoot(directory);
    if (!DirectoryExists(directoryPath)) {
        EXPECT_TRUE(MakeDirectory(directoryPath)) << Narrow(directoryPath);
    }
    const std::wstring updater = JoinPath(directoryPath, kUpdaterFileName);
    if (!MakeUpdater(updater, package)) {
        ADD_FAILURE() << "cannot make the updater " << Narrow(updater);
        return {};
    }
    return updater;
}

void OrdinaryUpdaterTest::SetUp() {
    UpdaterTest::SetUp();
    if (HasFatalFailure()) return;
    updater_ = CreateUpdater(OrdinaryPackage());
    ASSERT_FALSE(updater_.empty());
}

ProcessRun UpdaterTest::RunUpdater(const std::wstring& updater, const std::vector<std::wstring>& arguments) const {
    return RunAndProbe({updater, arguments, WorkDirectory()});
}

::testing::AssertionResult UpdaterTest::LogHolds(const std::wstring& directory, const Lines& messages) const {
    const std::wstring path = JoinPath(directory, kLogFileName);
    const std::optional<Bytes> bytes = ReadFileBytes(path);
    if (!bytes) return ::testing::AssertionFailure() << "no log file " << Narrow(path);
    const ParsedLog log = ParseLog(*bytes);
    if (!log.WellFormed()) return ::testing::AssertionFailure() << Narrow(path) << ": " << log.problem;
    if (log.Messages() != messages) {
        return ::testing::AssertionFailure()
               << Narrow(path) << " holds:" << Show(log.Messages()) << "\nexpected:" << Show(messages);
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult UpdaterTest::FileHolds(const std::wstring& path, const Bytes& bytes) {
    const std::optional<Bytes> actual = ReadFileBytes(path);
    if (!actual) return ::testing::AssertionFailure() << "cannot read " << Narrow(path);
    if (actual->size() != bytes.size()) {
        return ::testing::AssertionFailure()
               << Narrow(path) << " has " << actual->size() << " bytes, expected " << bytes.size();
    }
    const auto mismatch = std::mismatch(actual->begin(), actual->end(), bytes.begin());
    if (mismatch.first != actual->end()) {
        return ::testing::AssertionFailure()
               << Narrow(path) << " differs at byte " << (mismatch.first - actual->begin());
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult UpdaterTest::Finished(const ProcessRun& run) {
    if (run.Finished()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << run.Describe();
}

void UpdaterTest::ExpectExitCode(const ProcessRun& run, DWORD exitCode) {
    ASSERT_TRUE(Finished(run));
    EXPECT_EQ(run.exitCode, exitCode) << run.Describe();
}

void UpdaterTest::ExpectEnded(const ProcessRun& run, DWORD exitCode, const std::vector<MessageBoxRecord>& boxes) {
    ASSERT_NO_FATAL_FAILURE(ExpectExitCode(run, exitCode));
    EXPECT_EQ(run.boxes, boxes) << run.Describe();
}

::testing::AssertionResult UpdaterTest::MakeWorkDirectories(const Lines& names) const {
    for (const std::wstring& name : names) {
        const std::wstring path = InWork(name);
        if (!MakeDirectory(path)) return ::testing::AssertionFailure() << "cannot make " << Narrow(path);
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult UpdaterTest::HoldsTheOrdinaryUpdate(const std::wstring& directory) {
    return FileHolds(JoinPath(directory, OrdinaryFiles()[0].name), OrdinaryFiles()[0].data);
}

::testing::AssertionResult UpdaterTest::HoldsTheExtractionLog(const std::wstring& directory) const {
    return LogHolds(directory, {kExtracting});
}

const std::vector<UpdateFile>& UpdaterTest::OrdinaryFiles() {
    static const std::vector<UpdateFile> files{{L"update1.msp", PatchLikeData(1000, 1)}};
    return files;
}

Bytes UpdaterTest::OrdinaryPackage() { return BuildPackage(OrdinaryFiles()); }

}  // namespace corvantile::blackbox
