#include "package/Directories.h"

#include "base/UniqueHandles.h"
#include "tests/package/PackageTestSupport.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace corvantile {
namespace {

// The Windows test support, used as if it were this file's own.
using namespace testing;

// A path of exactly `chars` characters below `base`, made of two new levels.
std::wstring PathOfLength(const std::wstring& base, std::size_t chars) {
    const std::size_t firstLevelChars = 100;
    const std::size_t secondLevelChars = chars - base.size() - 2 - firstLevelChars;
    return base + L'\\' + std::wstring(firstLevelChars, L'a') + L'\\' + std::wstring(secondLevelChars, L'b');
}

// Creates `directory` with these files in it; false when any of them cannot be made.
bool MakeDirectoryWithFiles(const std::wstring& directory, const std::vector<UpdateFile>& files) {
    if (!MakeDirectory(directory)) return false;
    for (const UpdateFile& file : files) {
        if (!WriteFileBytes(directory + L"\\" + file.name, file.data)) return false;
    }
    return true;
}

// Every case has a scratch directory of its own, and a place in it for the directory that is removed.
class DirectoriesTest : public ::testing::Test {
protected:
    TempDirectory scratch;
    const std::wstring work = scratch / L"work";
};
using DirectoriesEnsureChain = DirectoriesTest;
using DirectoriesRemoveWithFiles = DirectoriesTest;

// ---- EnsureDirectoryChain ----

TEST_F(DirectoriesEnsureChain, ExistingDirectoryOrFileIsAcceptedAndLeftAlone) {
    ASSERT_TRUE(WriteFileBytes(scratch / L"plain.txt", {1, 2, 3}));
    const auto before = ListTree(scratch.path());

    EXPECT_EQ(0, EnsureDirectoryChain(scratch.path().c_str()));
    EXPECT_EQ(0, EnsureDirectoryChain((scratch / L"plain.txt").c_str()));

    EXPECT_EQ(before, ListTree(scratch.path()));
    EXPECT_TRUE(FileExists(scratch / L"plain.txt"));
}

TEST_F(DirectoriesEnsureChain, CreatesMissingLevelsWithEitherSeparator) {
    EXPECT_EQ(0, EnsureDirectoryChain((scratch / L"x\\y\\z").c_str()));
    EXPECT_TRUE(DirectoryExists(scratch / L"x\\y\\z"));

    EXPECT_EQ(0, EnsureDirectoryChain((scratch.path() + L"/fwd/one/two").c_str()));
    EXPECT_TRUE(DirectoryExists(scratch / L"fwd\\one\\two"));

    EXPECT_EQ(0, EnsureDirectoryChain((scratch.path() + L"\\mixed/one\\two").c_str()));
    EXPECT_TRUE(DirectoryExists(scratch / L"mixed\\one\\two"));
}

TEST_F(DirectoriesEnsureChain, TrailingAndDoubledSeparatorsAreAccepted) {
    EXPECT_EQ(0, EnsureDirectoryChain((scratch / L"trail\\a\\").c_str()));
    EXPECT_TRUE(DirectoryExists(scratch / L"trail\\a"));

    EXPECT_EQ(0, EnsureDirectoryChain((scratch / L"trail-slash/a/").c_str()));
    EXPECT_TRUE(DirectoryExists(scratch / L"trail-slash\\a"));

    EXPECT_EQ(0, EnsureDirectoryChain((scratch / L"doubled\\\\a").c_str()));
    EXPECT_TRUE(DirectoryExists(scratch / L"doubled\\a"));
}

TEST_F(DirectoriesEnsureChain, DriveRootCountsAsExistingAncestor) {
    // Only C:\ exists; C: is the build tree's Wine prefix, so nothing leaks onto the host.
    const std::wstring top = L"C:\\corvantile-chain-" + std::to_wstring(GetCurrentProcessId());
    RemoveTree(top);

    EXPECT_EQ(0, EnsureDirectoryChain((top + L"\\a\\b\\").c_str()));
    EXPECT_TRUE(DirectoryExists(top + L"\\a\\b"));
    RemoveTree(top);

    // "C:" without a separator is a drive-relative prefix that exists as well.
    EXPECT_EQ(0, EnsureDirectoryChain((L"C:" + top.substr(2) + L"\\c").c_str()));
    EXPECT_TRUE(DirectoryExists(top + L"\\c"));
    RemoveTree(top);
}

TEST_F(DirectoriesEnsureChain, PathsOfTwoHundredSixtyCharactersAreRefused) {
    const std::wstring longest = PathOfLength(scratch.path(), 259);
    ASSERT_EQ(259u, longest.size());
    EXPECT_EQ(0, EnsureDirectoryChain(longest.c_str()));
    EXPECT_TRUE(DirectoryExists(longest));
    RemoveTree(scratch / std::wstring(100, L'a'));

    const std::wstring tooLong = PathOfLength(scratch.path(), 260);
    ASSERT_EQ(260u, tooLong.size());
    EXPECT_EQ(-1, EnsureDirectoryChain(tooLong.c_str()));
    const std::wstring farTooLong = PathOfLength(scratch.path(), 400);
    EXPECT_EQ(-1, EnsureDirectoryChain(farTooLong.c_str()));
    EXPECT_TRUE(ListTree(scratch.path()).empty());
}

TEST_F(DirectoriesEnsureChain, RelativePathsNeedAnExistingFirstLevel) {
    const std::wstring missing = scratch.name() + L"-missing";

    EXPECT_EQ(-1, EnsureDirectoryChain((missing + L"\\sub").c_str()));
    EXPECT_EQ(-1, EnsureDirectoryChain(missing.c_str()));
    EXPECT_FALSE(PathExists(missing));

    EXPECT_EQ(0, EnsureDirectoryChain((scratch.name() + L"\\rel\\sub").c_str()));
    EXPECT_TRUE(DirectoryExists(scratch / L"rel\\sub"));
}

TEST_F(DirectoriesEnsureChain, NullAndEmptyPathsFail) {
    EXPECT_EQ(-1, EnsureDirectoryChain(nullptr));
    EXPECT_EQ(-1, EnsureDirectoryChain(L""));
}

TEST_F(DirectoriesEnsureChain, FailedLevelStopsTheWalkAndKeepsLevelsAbove) {
    ASSERT_TRUE(WriteFileBytes(scratch / L"plain.txt", {1}));

    // A plain file in the middle: its prefix exists, but nothing can be created below it.
    EXPECT_EQ(-1, EnsureDirectoryChain((scratch / L"plain.txt\\sub\\leaf").c_str()));
    EXPECT_TRUE(FileExists(scratch / L"plain.txt"));

    // "made" is created, then the invalid name fails and the walk stops before "leaf".
    EXPECT_EQ(-1, EnsureDirectoryChain((scratch / L"made\\bad<name\\leaf").c_str()));
    EXPECT_TRUE(DirectoryExists(scratch / L"made"));
    EXPECT_EQ((std::vector<std::wstring>{L"made\\", L"plain.txt"}), ListTree(scratch.path()));
}

// ---- RemoveDirectoryWithFiles ----

TEST_F(DirectoriesRemoveWithFiles, RemovesPlainFilesAndTheDirectory) {
    const std::vector<UpdateFile> files{{L"one.msp", {1}}, {L"two.msp", {}}, {L"three", {3, 3, 3}}};
    ASSERT_TRUE(MakeDirectoryWithFiles(scratch / L"plain", files));
    ASSERT_TRUE(MakeDirectoryWithFiles(scratch / L"trailing", files));

    RemoveDirectoryWithFiles((scratch / L"plain").c_str());
    RemoveDirectoryWithFiles((scratch / L"trailing\\").c_str());

    EXPECT_TRUE(ListTree(scratch.path()).empty());
}

TEST_F(DirectoriesRemoveWithFiles, GoesOneLevelDeepAndKeepsSubdirectories) {
    ASSERT_TRUE(MakeDirectoryWithFiles(work, {{L"top.msp", {1}}}));
    ASSERT_TRUE(MakeDirectoryWithFiles(work + L"\\sub", {{L"inner.msp", {2}}}));
    ASSERT_TRUE(MakeDirectory(work + L"\\empty-sub"));

    RemoveDirectoryWithFiles(work.c_str());

    EXPECT_EQ((std::vector<std::wstring>{L"work\\", L"work\\empty-sub\\", L"work\\sub\\", L"work\\sub\\inner.msp"}),
              ListTree(scratch.path()));
}

TEST_F(DirectoriesRemoveWithFiles, ReadOnlyFileStaysWithItsDirectory) {
    ASSERT_TRUE(MakeDirectoryWithFiles(work, {{L"a.msp", {1}}, {L"locked-down.msp", {2}}, {L"z.msp", {3}}}));
    ASSERT_TRUE(SetFileAttributesW((work + L"\\locked-down.msp").c_str(), FILE_ATTRIBUTE_READONLY));

    RemoveDirectoryWithFiles(work.c_str());

    EXPECT_EQ((std::vector<std::wstring>{L"work\\", L"work\\locked-down.msp"}), ListTree(scratch.path()));
    EXPECT_NE(0u, GetFileAttributesW((work + L"\\locked-down.msp").c_str()) & FILE_ATTRIBUTE_READONLY)
        << "the attributes of a read-only file must not be changed";
}

TEST_F(DirectoriesRemoveWithFiles, FileHeldOpenStaysWithItsDirectory) {
    ASSERT_TRUE(MakeDirectoryWithFiles(work, {{L"a.msp", {1}}, {L"busy.msp", {2}}, {L"z.msp", {3}}}));
    {
        // Another user of the file, without delete sharing.
        const UniqueFile holder(CreateFileW((work + L"\\busy.msp").c_str(), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(holder.valid());

        RemoveDirectoryWithFiles(work.c_str());
    }

    EXPECT_EQ((std::vector<std::wstring>{L"work\\", L"work\\busy.msp"}), ListTree(scratch.path()));
}

TEST_F(DirectoriesRemoveWithFiles, DoesNothingWithoutADirectory) {
    ASSERT_TRUE(WriteFileBytes(scratch / L"plain.txt", {1}));
    const auto before = ListTree(scratch.path());

    RemoveDirectoryWithFiles((scratch / L"plain.txt").c_str());
    RemoveDirectoryWithFiles((scratch / L"missing").c_str());
    RemoveDirectoryWithFiles(L"");
    RemoveDirectoryWithFiles(nullptr);

    EXPECT_EQ(before, ListTree(scratch.path()));
}

}  // namespace
}  // namespace corvantile
