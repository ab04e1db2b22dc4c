#include "package/Extraction.h"

#include "tests/package/PackageTestSupport.h"
#include "tests/support/SystemTexts.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

namespace corvantile {
namespace {

// The Windows test support, used as if it were this file's own.
using namespace testing;
using namespace texts;

// Log lines, and the entries of a listed tree.
using Lines = std::vector<std::wstring>;

// Windows' wchar_t is UTF-16 already.
std::wstring Wide(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

std::wstring EntryName(const UpdateTableEntry& entry) { return Wide(EntryFileName(entry).value_or(u"<no NUL>")); }

struct Extraction {
    int result = -1;
    Lines log;
    UpdateFileList list = {MakeEntry(u"left-from-before.msp", 7)};  // a failed extraction must leave it as it was
    ExtractionFailure failure;
};

// Writes a crafted updater holding `package` into `scratch`, and extracts it into `outputDir`, scratch\out
// when none is given.
Extraction Extract(const TempDirectory& scratch, const Bytes& package, std::wstring outputDir = {},
                   const Bytes& certificate = {}) {
    if (outputDir.empty()) outputDir = scratch / L"out";
    CraftedUpdater updater(scratch.path(), package, certificate);
    EXPECT_TRUE(updater.headerRead());
    Extraction extraction;
    const LogCapture log;
    extraction.result = ExtractUpdateFiles(updater.package(), outputDir, &extraction.list, &extraction.failure);
    extraction.log = log.Lines();
    return extraction;
}

void ExpectFailure(const Extraction& extraction, const wchar_t* logLine) {
    EXPECT_EQ(1, extraction.result);
    EXPECT_EQ((Lines{kExtracting, logLine}), extraction.log);
    ASSERT_EQ(1u, extraction.list.size()) << "a failed extraction must leave the caller's list alone";
    EXPECT_EQ(L"left-from-before.msp", EntryName(extraction.list[0]));
}

// Every case has a scratch directory of its own.
class ExtractionTest : public ::testing::Test {
protected:
    TempDirectory scratch;
};
using ExtractionTable = ExtractionTest;
using ExtractionDirectory = ExtractionTest;
using ExtractionFiles = ExtractionTest;
using ExtractionTruncation = ExtractionTest;
using ExtractionSignedUpdater = ExtractionTest;
using ExtractionDiskFull = ExtractionTest;

// ---- Reading the table: damage is found before the directory is looked at ----

// Each damage is reported with the line of the part it is in, whatever the directory: a relative one that
// is not accessible is still the table's fault, and neither it nor a new one is created.
TEST_F(ExtractionTable, DamageFailsWithItsLineAndCreatesNothing) {
    Bytes countCut = BuildPackage({});
    countCut.pop_back();
    const Bytes entryCut = Prefix(BuildPackage({{L"a.msp", {1}}, {L"b.msp", {2}}}), EntryOffset(1) + 527);
    Bytes unterminated = BuildPackage({{L"first.msp", {1, 2}}, {L"second.msp", {3}}});
    // Fill the second name's 260 code units with 'x' and no NUL.
    for (std::size_t i = 0; i < kFileNameBytes; i += 2) unterminated[EntryOffset(1) + i] = 'x';
    // Reserving room for four billion records up front would throw on this one.
    Bytes hugeCount = BuildPackage({{L"only.msp", {}}});
    WriteLe32(hugeCount.data() + EntryOffset(0) - kEntryCountBytes, 0xFFFFFFFFu);
    const std::wstring missing = scratch.name() + L"-missing";

    struct Damage {
        const char* what;
        const Bytes& package;
        const wchar_t* line;
    };
    for (const Damage& damage : {Damage{"package ending inside the entry count", countCut, kTableNotRead},
                                 Damage{"package ending inside an entry", entryCut, kEntryNotRead},
                                 Damage{"name without a terminator", unterminated, kEntryNotRead},
                                 Damage{"huge entry count", hugeCount, kEntryNotRead}}) {
        for (const std::wstring& outputDir : {missing + L"\\out", scratch / L"new\\out", scratch / L"out"}) {
            SCOPED_TRACE(std::string(damage.what) + ", into " + std::string(outputDir.begin(), outputDir.end()));
            ExpectFailure(Extract(scratch, damage.package, outputDir), damage.line);
            EXPECT_FALSE(PathExists(missing));
            EXPECT_EQ((Lines{L"updater.exe"}), ListTree(scratch.path()));
        }
    }
}

// ---- The target directory ----

TEST_F(ExtractionDirectory, EmptyTableStillMakesTheDirectory) {
    const Extraction extraction = Extract(scratch, BuildPackage({}), scratch / L"two\\levels");

    EXPECT_EQ(0, extraction.result);
    EXPECT_EQ((Lines{kExtracting}), extraction.log);
    EXPECT_TRUE(extraction.list.empty());
    EXPECT_TRUE(DirectoryExists(scratch / L"two\\levels"));
}

TEST_F(ExtractionDirectory, RelativeDirectoryWithMissingFirstLevelIsNotAccessible) {
    const std::wstring missing = scratch.name() + L"-missing";

    const Extraction extraction = Extract(scratch, BuildPackage({{L"a.msp", {1}}}), missing + L"\\out");

    ExpectFailure(extraction, kDirectoryNotAccessible);
    EXPECT_FALSE(PathExists(missing));
}

TEST_F(ExtractionDirectory, RelativeDirectoryBelowAnExistingOneWorks) {
    const Bytes data = PatternBytes(100, 1);

    const Extraction extraction = Extract(scratch, BuildPackage({{L"a.msp", data}}), scratch.name() + L"\\out");

    EXPECT_EQ(0, extraction.result);
    EXPECT_EQ(data, ReadFileBytes(scratch / L"out\\a.msp"));
}

TEST_F(ExtractionDirectory, TrailingBackslashIsAccepted) {
    const Bytes data = PatternBytes(1000, 2);

    const Extraction extraction = Extract(scratch, BuildPackage({{L"a.msp", data}}), scratch.path() + L"\\");

    EXPECT_EQ(0, extraction.result);
    EXPECT_EQ(data, ReadFileBytes(scratch / L"a.msp"));
}

// A file or a device where the directory should be cannot take the files, whether there are any or not.
TEST_F(ExtractionDirectory, NoDirectoryWhereTheDirectoryShouldBe) {
    ASSERT_TRUE(WriteFileBytes(scratch / L"occupied", {9, 9}));

    for (const std::wstring& outputDir :
         {scratch / L"occupied", scratch / L"updater.exe", std::wstring(L"NUL"), scratch / L"NUL"}) {
        for (const std::vector<UpdateFile>& files : {std::vector<UpdateFile>{}, {{L"a.msp", {1}}}}) {
            SCOPED_TRACE(::testing::Message()
                         << std::string(outputDir.begin(), outputDir.end()) << ", " << files.size() << " file(s)");
            const Extraction extraction = Extract(scratch, BuildPackage(files), outputDir);
            ExpectFailure(extraction, kDirectoryNotAccessible);
        }
    }
    EXPECT_EQ((Bytes{9, 9}), ReadFileBytes(scratch / L"occupied"));
    EXPECT_EQ((std::vector<std::wstring>{L"occupied", L"updater.exe"}), ListTree(scratch.path()));
}

// ---- Writing the files ----

TEST_F(ExtractionFiles, SizesAroundTheCopyBufferArriveByteForByte) {
    const std::vector<UpdateFile> files = {
        {L"empty.msp", {}},
        {L"below.msp", PatternBytes(32767, 1)},
        {L"exact.msp", PatternBytes(32768, 2)},
        {L"above.msp", PatternBytes(32769, 3)},
        {L"double.msp", PatternBytes(65536, 4)},
        {L"odd name with spaces (1).msp", PatternBytes(5, 5)},
    };

    const Extraction extraction = Extract(scratch, BuildPackage(files));

    EXPECT_EQ(0, extraction.result);
    EXPECT_EQ((Lines{kExtracting}), extraction.log);
    ASSERT_EQ(files.size(), extraction.list.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(files[i].name, EntryName(extraction.list[i]));
        EXPECT_EQ(files[i].data.size(), extraction.list[i].dataLength);
        EXPECT_TRUE(files[i].data == ReadFileBytes(scratch / (L"out\\" + files[i].name))) << "file " << i << " differs";
    }
    EXPECT_EQ(files.size(), ListTree(scratch / L"out").size());
}

TEST_F(ExtractionFiles, WithoutAListOnlyTheFilesAreWritten) {
    const Bytes data = PatternBytes(40000, 6);
    CraftedUpdater updater(scratch.path(), BuildPackage({{L"a.msp", data}}));
    ASSERT_TRUE(updater.headerRead());

    EXPECT_EQ(0, ExtractUpdateFiles(updater.package(), scratch / L"out", nullptr));
    EXPECT_EQ(data, ReadFileBytes(scratch / L"out\\a.msp"));
}

TEST_F(ExtractionFiles, ExistingFileIsLeftUntouched) {
    ASSERT_TRUE(MakeDirectory(scratch / L"out"));
    ASSERT_TRUE(WriteFileBytes(scratch / L"out\\b.msp", {'o', 'l', 'd'}));
    const Bytes first = PatternBytes(300, 7);

    const Extraction extraction = Extract(scratch, BuildPackage({{L"a.msp", first}, {L"b.msp", PatternBytes(10, 8)}}));

    ExpectFailure(extraction, kFileNotCreated);
    EXPECT_EQ(ExtractionOutcome::FileNotCreated, extraction.failure.outcome);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), extraction.failure.error);
    EXPECT_EQ(first, ReadFileBytes(scratch / L"out\\a.msp")) << "files of earlier entries stay";
    EXPECT_EQ((Bytes{'o', 'l', 'd'}), ReadFileBytes(scratch / L"out\\b.msp"));
}

// Two entries that Windows takes for one file are refused before anything is written, whatever the script.
TEST_F(ExtractionFiles, NamesOfTheSameFileWriteNothing) {
    const std::vector<std::pair<std::wstring, std::wstring>> pairs{{L"same.msp", L"same.msp"},
                                                                   {L"Same.msp", L"SAME.MSP"},
                                                                   {L"\u00E4.msp", L"\u00C4.msp"},
                                                                   {L"\u03C3.msp", L"\u03A3.msp"},
                                                                   {L"\u0436.msp", L"\u0416.msp"}};
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        SCOPED_TRACE("pair " + std::to_string(i));
        TempDirectory pairScratch;  // not the case's: one for each pair

        const Extraction extraction =
            Extract(pairScratch,
                    BuildPackage({{pairs[i].first, PatternBytes(50, 9)}, {pairs[i].second, PatternBytes(60, 10)}}));

        ExpectFailure(extraction, kFileNotCreated);
        EXPECT_EQ((std::vector<std::wstring>{L"updater.exe"}), ListTree(pairScratch.path()));
    }
}

TEST_F(ExtractionFiles, EmptyNameCannotBeCreated) {
    const Extraction extraction = Extract(scratch, BuildPackage({{L"", PatternBytes(10, 11)}}));

    ExpectFailure(extraction, kFileNotCreated);
    EXPECT_FALSE(PathExists(scratch / L"out")) << "names are checked before the directory is made";
}

TEST_F(ExtractionFiles, PackageCutInsideFileDataRemovesThePart) {
    const Bytes whole = PatternBytes(40000, 12);
    Bytes package = BuildPackage({{L"a.msp", PatternBytes(20, 13)}, {L"cut.msp", whole}});
    // The second file's data stops after 35,000 bytes: one full read, one short read, then nothing.
    package.resize(EntryOffset(2) + 20 + 35000);  // EntryOffset(2): where the data begins

    const Extraction extraction = Extract(scratch, package);

    ExpectFailure(extraction, kUpdateCutShort);
    EXPECT_TRUE(FileExists(scratch / L"out\\a.msp")) << "files completed before the failure stay";
    EXPECT_FALSE(PathExists(scratch / L"out\\cut.msp")) << "a truncated patch must not look like a complete one";
}

// ---- A package cut anywhere ----

// Every cut point of a two-file package ends in a failure with the line of the part it cuts, and leaves
// no file that is not complete: the first file stays only when all of it was there.
TEST_F(ExtractionTruncation, EveryCutPointFailsWithItsLineAndLeavesNoPartialFile) {
    const std::vector<UpdateFile> files{{L"first.msp", PatternBytes(40, 1)}, {L"second.msp", PatternBytes(30, 2)}};
    const Bytes package = BuildPackage(files);
    const std::size_t countStart = EntryOffset(0) - kEntryCountBytes;
    const std::size_t dataStart = EntryOffset(2);
    const std::wstring outputDir = scratch / L"out";
    std::size_t cutsChecked = 0;

    for (std::size_t cut = 1; cut < package.size(); ++cut) {
        SCOPED_TRACE("cut to " + std::to_string(cut) + " bytes");
        CraftedUpdater updater(scratch.path(), Prefix(package, cut));
        if (cut < countStart) {
            ASSERT_FALSE(updater.headerRead());
            continue;
        }
        ASSERT_TRUE(updater.headerRead());
        const LogCapture log;
        ASSERT_EQ(1, ExtractUpdateFiles(updater.package(), outputDir, nullptr));
        const wchar_t* line = cut < EntryOffset(0) ? kTableNotRead : cut < dataStart ? kEntryNotRead : kUpdateCutShort;
        ASSERT_EQ((Lines{kExtracting, line}), log.Lines());
        const Lines expected = cut >= dataStart + files[0].data.size() ? Lines{L"first.msp"} : Lines{};
        ASSERT_EQ(expected, ListTree(outputDir));
        if (!expected.empty()) {
            ASSERT_EQ(files[0].data, ReadFileBytes(outputDir + L"\\first.msp"));
            ASSERT_TRUE(DeleteFileW((outputDir + L"\\first.msp").c_str()));
        }
        ++cutsChecked;
    }
    EXPECT_EQ(package.size() - countStart, cutsChecked);
}

// ---- Names that are not plain file names ----

class ExtractionHostileNames : public ExtractionTest, public ::testing::WithParamInterface<const char16_t*> {};

TEST_P(ExtractionHostileNames, NothingIsWrittenForThem) {
    ASSERT_TRUE(MakeDirectory(scratch / L"parent"));
    const Bytes first = PatternBytes(30, 14);
    const Bytes package = BuildPackage({{L"first.msp", first}, {Wide(GetParam()), PatternBytes(40, 15)}});

    const Extraction extraction = Extract(scratch, package, scratch / L"parent\\out");

    ExpectFailure(extraction, kFileNotCreated);
    EXPECT_EQ(ExtractionOutcome::NameRefused, extraction.failure.outcome) << "the same line as a file not created";
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), extraction.failure.error);
    EXPECT_EQ((std::vector<std::wstring>{L"parent\\", L"updater.exe"}), ListTree(scratch.path()))
        << "every name is checked before the first file or the directory is made";
    // The roots of the build prefix's drive and of the working directory's drive.
    for (const wchar_t* outside : {L"C:\\corvantile-escape.msp", L"\\corvantile-escape.msp"}) {
        EXPECT_FALSE(PathExists(outside)) << "written outside the directory";
        DeleteFileW(outside);
    }
}

INSTANTIATE_TEST_SUITE_P(TraversalDevicesAndDots, ExtractionHostileNames,
                         ::testing::Values(u"..\\escape.msp", u"../escape.msp", u"..\\..\\escape.msp",
                                           u"\\corvantile-escape.msp", u"C:escape.msp", u"C:\\corvantile-escape.msp",
                                           u"NUL", u"con.txt", u"..", u"trailing-dot.", u"COM0", u"LPT0.msp",
                                           u"COM\u00B9.msp", u"com\u00B2", u"LPT\u00B3 .msp", u"CONIN$", u"conout$.msp",
                                           u"a\xD800.msp", u"\xDC00"));

TEST_F(ExtractionFiles, NamesLongerThanAFileSystemTakesWriteNothing) {
    const Extraction extraction = Extract(scratch, BuildPackage({{L"a.msp", {1}}, {std::wstring(256, L'n'), {2}}}));
    ExpectFailure(extraction, kFileNotCreated);
    EXPECT_FALSE(PathExists(scratch / L"out"));

    const std::wstring longest(255, L'n');
    const Extraction fits = Extract(scratch, BuildPackage({{longest, {3}}}));
    EXPECT_EQ(0, fits.result);
    EXPECT_EQ((Bytes{3}), ReadFileBytes(scratch / (L"out\\" + longest)));
}

// A signed updater: the certificate table follows the package, and its bytes are never file data.
TEST_F(ExtractionSignedUpdater, DataRunningIntoTheCertificateTableFails) {
    const Bytes whole = PatternBytes(1000, 16);
    Bytes package = BuildPackage({{L"signed.msp", whole}});
    // Keep 600 data bytes; the zeros up to the 8-aligned certificate table follow them.
    package.resize(EntryOffset(1) + 600);  // EntryOffset(1): where the data begins
    const Bytes certificate(2000, 0xCC);

    const Extraction extraction = Extract(scratch, package, {}, certificate);

    ExpectFailure(extraction, kUpdateCutShort);
    EXPECT_FALSE(PathExists(scratch / L"out\\signed.msp")) << "the file cut short by the certificate table goes";
}

TEST_F(ExtractionSignedUpdater, DataEndingAtTheCertificateTableIsComplete) {
    const Bytes whole = PatternBytes(999, 17);
    // The zeros up to the 8-aligned certificate table follow the data.
    const Extraction extraction = Extract(scratch, BuildPackage({{L"signed.msp", whole}}), {}, Bytes(2000, 0xCC));

    EXPECT_EQ(0, extraction.result);
    EXPECT_EQ(whole, ReadFileBytes(scratch / L"out\\signed.msp"));
}

// ---- A disk that fills during the copy ----

// Needs the 64 KiB tmpfs that small-disk.sh mounts (as root) in the working directory around the ctest
// ExtractionDiskFull, which runs only this case; the tests discovered from this program leave it out.
TEST_F(ExtractionDiskFull, FullDiskIsReportedAsAFailedWriteAndThePartIsRemoved) {
    if (!PathExists(L"small-disk\\.small-disk")) {
        GTEST_SKIP() << "no 64 KiB tmpfs at small-disk in the working directory: run through ctest (fixture "
                        "ExtractionSmallDisk, small-disk.sh), which needs root to mount it";
    }
    const std::wstring outputDir = FullPath(L"small-disk\\out-" + std::to_wstring(GetCurrentProcessId()));
    const Bytes small = PatternBytes(1000, 1);
    const Bytes package = BuildPackage({{L"small.msp", small}, {L"large.msp", PatternBytes(256 * 1024, 2)}});

    const Extraction extraction = Extract(scratch, package, outputDir);

    ExpectFailure(extraction, kWriteFailed);
    EXPECT_EQ(ExtractionOutcome::WriteFailed, extraction.failure.outcome);
    EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), extraction.failure.error);
    EXPECT_EQ(small, ReadFileBytes(outputDir + L"\\small.msp")) << "files completed before it stay";
    EXPECT_FALSE(PathExists(outputDir + L"\\large.msp")) << "the file the disk had no room for goes";
    RemoveTree(outputDir);
}

}  // namespace
}  // namespace corvantile
