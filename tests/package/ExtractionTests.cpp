#include "package/Extraction.h"

#include "tests/package/PackageTestSupport.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace corvantile {
namespace {

using testing::Bytes;
using testing::BuildPackage;
using testing::CraftedUpdater;
using testing::IsDirectory;
using testing::IsPlainFile;
using testing::ListTree;
using testing::LogCapture;
using testing::PathExists;
using testing::PatternBytes;
using testing::ReadFileBytes;
using testing::ScratchDirectory;
using testing::UpdateFileSpec;

using Lines = std::vector<std::wstring>;

constexpr wchar_t kStartLine[] = L"Extracting update files.";

// A list that a failed extraction must leave as it was.
UpdateFileList SentinelList() {
    return {MakeEntry(u"left-from-before.msp", 7)};
}

std::u16string EntryName(const UpdateTableEntry& entry) {
    return std::u16string(EntryFileName(entry).value_or(u"<no NUL>"));
}

struct Extraction {
    int result = -1;
    Lines log;
    UpdateFileList list = SentinelList();
};

// Writes a crafted updater holding `package` into `scratch`, and extracts it into `outputDir`.
Extraction Extract(const ScratchDirectory& scratch, const Bytes& package, const std::wstring& outputDir,
                   const Bytes& certificate = {}) {
    CraftedUpdater updater(scratch.path(), package, certificate);
    EXPECT_TRUE(updater.headerRead());
    Extraction extraction;
    const LogCapture log;
    extraction.result = ExtractUpdateFiles(updater.package(), outputDir, &extraction.list);
    extraction.log = log.Lines();
    return extraction;
}

void ExpectFailure(const Extraction& extraction, const wchar_t* logLine) {
    EXPECT_EQ(1, extraction.result);
    EXPECT_EQ((Lines{kStartLine, logLine}), extraction.log);
    ASSERT_EQ(1u, extraction.list.size()) << "a failed extraction must leave the caller's list alone";
    EXPECT_EQ(u"left-from-before.msp", EntryName(extraction.list[0]));
}

// ---- Reading the table: damage is found before the directory is looked at ----

TEST(ExtractionTable, PackageEndingInsideEntryCount) {
    ScratchDirectory scratch;
    Bytes package = BuildPackage({});
    package.resize(package.size() - 1);

    const Extraction extraction = Extract(scratch, package, scratch / L"new\\out");

    ExpectFailure(extraction, L"Failed to read the update table.");
    EXPECT_FALSE(PathExists(scratch / L"new"));
}

TEST(ExtractionTable, PackageEndingInsideAnEntryCreatesNothing) {
    ScratchDirectory scratch;
    Bytes package = BuildPackage({{u"a.msp", {1}}, {u"b.msp", {2}}});
    package.resize(testing::EntryOffset(1) + 527);

    // Even an inaccessible directory is reported as the table's fault, and a missing one is not created.
    const Extraction relative = Extract(scratch, package, scratch.relativePath() + L"-missing\\out");
    ExpectFailure(relative, L"Failed to read update table entry.");
    const Extraction absolute = Extract(scratch, package, scratch / L"new\\out");
    ExpectFailure(absolute, L"Failed to read update table entry.");

    EXPECT_FALSE(PathExists(scratch.relativePath() + L"-missing"));
    EXPECT_FALSE(PathExists(scratch / L"new"));
}

TEST(ExtractionTable, NameWithoutTerminatorBreaksTheRecord) {
    ScratchDirectory scratch;
    Bytes package = BuildPackage({{u"first.msp", {1, 2}}, {u"second.msp", {3}}});
    // Fill the second name's 260 code units with 'x' and no NUL.
    for (std::size_t i = 0; i < kFileNameBytes; i += 2) {
        package[testing::EntryOffset(1) + i] = 'x';
        package[testing::EntryOffset(1) + i + 1] = 0;
    }

    const Extraction extraction = Extract(scratch, package, scratch / L"out");

    ExpectFailure(extraction, L"Failed to read update table entry.");
    EXPECT_FALSE(PathExists(scratch / L"out")) << "the record is rejected before any directory or file is made";
}

TEST(ExtractionTable, HugeEntryCountFailsAtTheFirstMissingEntry) {
    ScratchDirectory scratch;
    Bytes package = BuildPackage({{u"only.msp", {}}});
    WriteLe32(package.data() + testing::EntryOffset(0) - kEntryCountBytes, 0xFFFFFFFFu);

    // Reserving room for four billion records up front would throw here instead.
    const Extraction extraction = Extract(scratch, package, scratch / L"out");

    ExpectFailure(extraction, L"Failed to read update table entry.");
    EXPECT_FALSE(PathExists(scratch / L"out"));
}

// ---- The target directory ----

TEST(ExtractionDirectory, EmptyTableStillMakesTheDirectory) {
    ScratchDirectory scratch;

    const Extraction extraction = Extract(scratch, BuildPackage({}), scratch / L"two\\levels");

    EXPECT_EQ(0, extraction.result);
    EXPECT_EQ((Lines{kStartLine}), extraction.log);
    EXPECT_TRUE(extraction.list.empty());
    EXPECT_TRUE(IsDirectory(scratch / L"two\\levels"));
}

TEST(ExtractionDirectory, RelativeDirectoryWithMissingFirstLevelIsNotAccessible) {
    ScratchDirectory scratch;
    const std::wstring missing = scratch.relativePath() + L"-missing";

    const Extraction extraction = Extract(scratch, BuildPackage({{u"a.msp", {1}}}), missing + L"\\out");

    ExpectFailure(extraction, L"Output directory not accessible.");
    EXPECT_FALSE(PathExists(missing));
}

TEST(ExtractionDirectory, RelativeDirectoryBelowAnExistingOneWorks) {
    ScratchDirectory scratch;
    const Bytes data = PatternBytes(100, 1);

    const Extraction extraction = Extract(scratch, BuildPackage({{u"a.msp", data}}), scratch.relativePath() + L"\\out");

    EXPECT_EQ(0, extraction.result);
    EXPECT_EQ(data, ReadFileBytes(scratch / L"out\\a.msp"));
}

TEST(ExtractionDirectory, TrailingBackslashIsAccepted) {
    ScratchDirectory scratch;
    const Bytes data = PatternBytes(1000, 2);

    const Extraction extraction = Extract(scratch, BuildPackage({{u"a.msp", data}}), scratch.path() + L"\\");

    EXPECT_EQ(0, extraction.result);
    EXPECT_EQ(data, ReadFileBytes(scratch / L"a.msp"));
}

TEST(ExtractionDirectory, PlainFileInsteadOfDirectory) {
    ScratchDirectory scratch;
    testing::WriteFileBytes(scratch / L"occupied", {9, 9});

    const Extraction empty = Extract(scratch, BuildPackage({}), scratch / L"occupied");
    EXPECT_EQ(0, empty.result);
    EXPECT_TRUE(empty.list.empty());

    const Extraction oneFile = Extract(scratch, BuildPackage({{u"a.msp", {1}}}), scratch / L"occupied");
    ExpectFailure(oneFile, L"Failed to create update file.");
    EXPECT_EQ((Bytes{9, 9}), ReadFileBytes(scratch / L"occupied"));
}

// ---- Writing the files ----

TEST(ExtractionFiles, SizesAroundTheCopyBufferArriveByteForByte) {
    ScratchDirectory scratch;
    const std::vector<UpdateFileSpec> files = {
        {u"empty.msp", {}},
        {u"below.msp", PatternBytes(32767, 1)},
        {u"exact.msp", PatternBytes(32768, 2)},
        {u"above.msp", PatternBytes(32769, 3)},
        {u"double.msp", PatternBytes(65536, 4)},
        {u"odd name with spaces (1).msp", PatternBytes(5, 5)},
    };

    const Extraction extraction = Extract(scratch, BuildPackage(files), scratch / L"out");

    EXPECT_EQ(0, extraction.result);
    EXPECT_EQ((Lines{kStartLine}), extraction.log);
    ASSERT_EQ(files.size(), extraction.list.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(files[i].name, EntryName(extraction.list[i]));
        EXPECT_EQ(files[i].data.size(), extraction.list[i].dataLength);
        const std::wstring path = scratch / (L"out\\" + std::wstring(files[i].name.begin(), files[i].name.end()));
        EXPECT_TRUE(files[i].data == ReadFileBytes(path)) << "file " << i << " differs";
    }
    EXPECT_EQ(files.size(), ListTree(scratch / L"out").size());
}

TEST(ExtractionFiles, WithoutAListOnlyTheFilesAreWritten) {
    ScratchDirectory scratch;
    const Bytes data = PatternBytes(40000, 6);
    CraftedUpdater updater(scratch.path(), BuildPackage({{u"a.msp", data}}));
    ASSERT_TRUE(updater.headerRead());

    EXPECT_EQ(0, ExtractUpdateFiles(updater.package(), scratch / L"out", nullptr));
    EXPECT_EQ(data, ReadFileBytes(scratch / L"out\\a.msp"));
}

TEST(ExtractionFiles, ExistingFileIsLeftUntouched) {
    ScratchDirectory scratch;
    ASSERT_TRUE(CreateDirectoryW((scratch / L"out").c_str(), nullptr));
    testing::WriteFileBytes(scratch / L"out\\b.msp", {'o', 'l', 'd'});
    const Bytes first = PatternBytes(300, 7);

    const Extraction extraction =
        Extract(scratch, BuildPackage({{u"a.msp", first}, {u"b.msp", PatternBytes(10, 8)}}), scratch / L"out");

    ExpectFailure(extraction, L"Failed to create update file.");
    EXPECT_EQ(first, ReadFileBytes(scratch / L"out\\a.msp")) << "files of earlier entries stay";
    EXPECT_EQ((Bytes{'o', 'l', 'd'}), ReadFileBytes(scratch / L"out\\b.msp"));
}

TEST(ExtractionFiles, DuplicateNameFailsOnTheSecondEntry) {
    ScratchDirectory scratch;
    const Bytes first = PatternBytes(50, 9);

    const Extraction extraction =
        Extract(scratch, BuildPackage({{u"same.msp", first}, {u"same.msp", PatternBytes(60, 10)}}), scratch / L"out");

    ExpectFailure(extraction, L"Failed to create update file.");
    EXPECT_EQ(first, ReadFileBytes(scratch / L"out\\same.msp"));
}

TEST(ExtractionFiles, EmptyNameCannotBeCreated) {
    ScratchDirectory scratch;

    const Extraction extraction = Extract(scratch, BuildPackage({{u"", PatternBytes(10, 11)}}), scratch / L"out");

    ExpectFailure(extraction, L"Failed to create update file.");
    EXPECT_TRUE(IsDirectory(scratch / L"out"));
    EXPECT_TRUE(ListTree(scratch / L"out").empty());
}

TEST(ExtractionFiles, PackageCutInsideFileDataLeavesThePartClosed) {
    ScratchDirectory scratch;
    const Bytes whole = PatternBytes(40000, 12);
    Bytes package = BuildPackage({{u"a.msp", PatternBytes(20, 13)}, {u"cut.msp", whole}});
    // The second file's data stops after 35,000 bytes: one full read, one short read, then nothing.
    package.resize(testing::DataOffset(2) + 20 + 35000);

    const Extraction extraction = Extract(scratch, package, scratch / L"out");

    ExpectFailure(extraction, L"Failed to extract update.");
    EXPECT_TRUE(IsPlainFile(scratch / L"out\\a.msp"));
    EXPECT_EQ(Bytes(whole.begin(), whole.begin() + 35000), ReadFileBytes(scratch / L"out\\cut.msp"))
        << "every byte delivered, the short read included, is written";
    EXPECT_TRUE(testing::CanOpenExclusively(scratch / L"out\\cut.msp")) << "the partial file must be closed";
    EXPECT_TRUE(DeleteFileW((scratch / L"out\\cut.msp").c_str()));
}

// ---- Names that are not plain file names ----

class ExtractionHostileNames : public ::testing::TestWithParam<const char16_t*> {};

TEST_P(ExtractionHostileNames, NothingIsWrittenForThem) {
    ScratchDirectory scratch;
    ASSERT_TRUE(CreateDirectoryW((scratch / L"parent").c_str(), nullptr));
    const Bytes first = PatternBytes(30, 14);

    const Extraction extraction = Extract(
        scratch, BuildPackage({{u"first.msp", first}, {GetParam(), PatternBytes(40, 15)}}), scratch / L"parent\\out");

    ExpectFailure(extraction, L"Failed to create update file.");
    EXPECT_EQ(first, ReadFileBytes(scratch / L"parent\\out\\first.msp"));
    EXPECT_EQ((std::set<std::wstring>{L"updater.exe", L"parent", L"parent\\out", L"parent\\out\\first.msp"}),
              ListTree(scratch.path()));
    // The roots of the build prefix's drive and of the working directory's drive.
    for (const wchar_t* outside : {L"C:\\corvantile-escape.msp", L"\\corvantile-escape.msp"}) {
        EXPECT_FALSE(PathExists(outside)) << "written outside the directory";
        DeleteFileW(outside);
    }
}

INSTANTIATE_TEST_SUITE_P(
    TraversalDevicesAndDots, ExtractionHostileNames,
    ::testing::Values(u"..\\escape.msp", u"../escape.msp", u"..\\..\\escape.msp", u"\\corvantile-escape.msp",
                      u"C:escape.msp", u"C:\\corvantile-escape.msp", u"NUL", u"con.txt", u"..", u"trailing-dot."));

// A signed updater: the certificate table follows the package, and its bytes are never file data.
TEST(ExtractionSignedUpdater, DataRunningIntoTheCertificateTableFails) {
    ScratchDirectory scratch;
    const Bytes whole = PatternBytes(1000, 16);
    Bytes package = BuildPackage({{u"signed.msp", whole}});
    // Keep 600 data bytes, padded with zeros so that the certificate table starts 8-aligned.
    package.resize(testing::DataOffset(1) + 600);
    const std::size_t paddingBytes = (8 - (CraftedUpdater::kImageBytes + package.size()) % 8) % 8;
    package.resize(package.size() + paddingBytes, 0);
    const Bytes certificate(2000, 0xCC);

    const Extraction extraction = Extract(scratch, package, scratch / L"out", certificate);

    ExpectFailure(extraction, L"Failed to extract update.");
    Bytes expected(whole.begin(), whole.begin() + 600);
    expected.resize(600 + paddingBytes, 0);
    EXPECT_EQ(expected, ReadFileBytes(scratch / L"out\\signed.msp")) << "no certificate byte may reach the file";
}

TEST(ExtractionSignedUpdater, DataEndingAtTheCertificateTableIsComplete) {
    ScratchDirectory scratch;
    const Bytes whole = PatternBytes(999, 17);
    Bytes package = BuildPackage({{u"signed.msp", whole}});
    package.resize(package.size() + (8 - (CraftedUpdater::kImageBytes + package.size()) % 8) % 8, 0);

    const Extraction extraction = Extract(scratch, package, scratch / L"out", Bytes(2000, 0xCC));

    EXPECT_EQ(0, extraction.result);
    EXPECT_EQ(whole, ReadFileBytes(scratch / L"out\\signed.msp"));
}

}  // namespace
}  // namespace corvantile
