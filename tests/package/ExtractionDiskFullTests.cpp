// Runs against a 64 KiB tmpfs that the SmallDisk test fixture mounts in the working directory.
#include "package/Extraction.h"

#include "tests/package/PackageTestSupport.h"
#include "tests/support/SystemTexts.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace corvantile {
namespace {

// The Windows test support, used as if it were this file's own.
using namespace testing;

constexpr wchar_t kSmallDisk[] = L"small-disk";

TEST(ExtractionDiskFull, FullDiskIsReportedAsAFailedWriteAndThePartIsRemoved) {
    if (!PathExists(std::wstring(kSmallDisk) + L"\\.small-disk")) {
        GTEST_SKIP() << "no 64 KiB tmpfs at small-disk in the working directory: run through ctest (fixture "
                        "ExtractionSmallDisk, small-disk.sh), which needs root to mount it";
    }
    TempDirectory scratch;
    const std::wstring outputDir =
        FullPath(std::wstring(kSmallDisk) + L"\\out-" + std::to_wstring(GetCurrentProcessId()));
    const Bytes small = PatternBytes(1000, 1);
    const Bytes large = PatternBytes(256 * 1024, 2);
    CraftedUpdater updater(scratch.path(), BuildPackage({{L"small.msp", small}, {L"large.msp", large}}));
    ASSERT_TRUE(updater.headerRead());
    UpdateFileList list;

    const LogCapture log;
    ExtractionFailure failure;
    const int result = ExtractUpdateFiles(updater.package(), outputDir, &list, &failure);
    const std::vector<std::wstring> lines = log.Lines();

    EXPECT_EQ(1, result);
    EXPECT_EQ((std::vector<std::wstring>{texts::kExtracting, texts::kWriteFailed}), lines);
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(ExtractionOutcome::WriteFailed, failure.outcome);
    EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), failure.error);
    EXPECT_EQ(small, ReadFileBytes(outputDir + L"\\small.msp")) << "files completed before it stay";
    EXPECT_FALSE(PathExists(outputDir + L"\\large.msp")) << "the file the disk had no room for goes";
    RemoveTree(outputDir);
}

}  // namespace
}  // namespace corvantile
