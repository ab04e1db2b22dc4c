// The engine with the system's own Installer, on real products and patches: each case runs in a copy of a
// Wine prefix in which both fixture products are installed, so that no case sees another's patches.
//
// Where Wine's Installer is not Windows' (the fake-driven tests cover Windows there):
// - MsiBeginTransactionW and MsiEndTransaction are stubs that succeed and do nothing;
// - MsiDeterminePatchSequenceW gives each applicable patch its array position as order;
// - a product that is not installed makes sequencing return 1610 (the engine never asks: it is skipped).
#include "engine/ApplyUpdates.h"

#include "res/resource.h"
#include "tests/engine/installer/Fixtures.h"
#include "tests/package/PackageTestSupport.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <set>
#include <string>
#include <vector>

namespace corvantile {
namespace {

using namespace testing;
using namespace fixtures;
using namespace texts;
using Lines = std::vector<std::wstring>;

// msi.dll from the system directory, for the checks of what the Installer registered.
std::set<std::wstring> RegisteredPatches(const std::wstring& productCode) {
    using EnumPatches = UINT(WINAPI*)(LPCWSTR, DWORD, LPWSTR, LPWSTR, LPDWORD);
    static const auto enumPatches = [] {
        const HMODULE msi = LoadLibraryExW(L"msi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        return reinterpret_cast<EnumPatches>(reinterpret_cast<void (*)()>(GetProcAddress(msi, "MsiEnumPatchesW")));
    }();
    std::set<std::wstring> patches;
    for (DWORD index = 0;; ++index) {
        wchar_t patchCode[39] = {};
        wchar_t transforms[1024] = {};
        DWORD transformChars = 1024;
        if (enumPatches(productCode.c_str(), index, patchCode, transforms, &transformChars) != ERROR_SUCCESS) break;
        patches.insert(patchCode);
    }
    return patches;
}

// Keeps the status texts that the engine shows, as the progress dialog would show them.
class StatusRecorder final : public StatusLine {
public:
    void Show(const wchar_t* text) override { texts.push_back(text); }
    Lines texts;
};

struct RealRun {
    int result = -1;
    std::uint32_t exitCode = 0;  // the process exit code the run comes to
    Lines log;
    std::wstring logDirectory;
};

// Packs the patches into an updater and runs the engine on it: with the real packing tool, or by hand for
// what the tool refuses to pack.
class EngineWithInstaller : public ::testing::Test {
protected:
    RealRun Run(const std::vector<std::wstring>& patchFiles, StatusLine* statusLine, bool logging = true) {
        return RunUpdater(PackUpdater(scratch_ / L"Update.exe", patchFiles), statusLine, logging);
    }

    RealRun RunPackedByHand(const std::vector<std::wstring>& files, StatusLine* statusLine) {
        std::vector<UpdateFile> updateFiles;
        for (const std::wstring& file : files) {
            const std::optional<Bytes> data = ReadFileBytes(Fixtures::Get().Path(file));
            EXPECT_TRUE(data.has_value());
            updateFiles.push_back({file, data.value_or(Bytes{})});
        }
        const std::wstring updater = scratch_ / L"Update.exe";
        EXPECT_TRUE(blackbox::MakeUpdater(updater, BuildPackage(updateFiles)));
        return RunUpdater(updater, statusLine, true);
    }

    RealRun RunUpdater(const std::wstring& updater, StatusLine* statusLine, bool logging) {
        const std::wstring stub = blackbox::BuiltUpdaterPath();
        RealRun run;
        if (logging) {
            run.logDirectory = scratch_ / L"logs\\";
            EXPECT_TRUE(MakeDirectory(scratch_ / L"logs"));
        }

        // A packing that failed has left no image to run: the case ends here rather than read past it.
        const std::optional<Bytes> image = ReadFileBytes(updater);
        const std::optional<PeLayout> layout = image ? ReadPeLayout(image->data(), image->size()) : std::nullopt;
        if (!layout) {
            ADD_FAILURE() << "no updater image in " << ::testing::PrintToString(updater);
            return run;
        }
        PackageFile package;
        std::wstring name;
        std::wstring version;
        EXPECT_TRUE(package.Open(updater, *layout));
        EXPECT_EQ(HeaderOutcome::Read, package.ReadPackageHeader(name, version));
        const HINSTANCE strings =
            LoadLibraryExW(stub.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        const EngineContext context{LoadSystemInstaller, &package, run.logDirectory, strings, IDS_INSTALLING_UPDATE};
        const LogCapture log;
        UpdateOutcome outcome;
        // No window: no restart question is asked.
        run.result = ApplyUpdates(context, (scratch_ / L"work").c_str(), nullptr, statusLine, outcome);
        run.exitCode = UpdateExitCode(run.result, outcome);
        run.log = log.Lines();
        FreeLibrary(strings);
        return run;
    }

    std::wstring PatchCode(const std::string& patch) const { return Fixtures::Get()["/patches/" + patch + "/code"]; }
    std::set<std::wstring> Registered(const std::string& product) const {
        return RegisteredPatches(ProductFact(product, "product_code"));
    }

    TempDirectory scratch_{TempDirectory::Parent::UserTemp};
};

TEST_F(EngineWithInstaller, PatchesBothProductsX64First) {
    StatusRecorder status;
    // In table order the x86 patch comes first; the x64 product is still updated first.
    const RealRun run = Run({L"PatchX86.msp", L"PatchX64.msp"}, &status);
    EXPECT_EQ(0, run.result);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ((Lines{kExtracting, kDetermining, OrderLine("x64"), Installing(L"PatchX64.msp", "x64"), kSucceeded,
                     OrderLine("x86"), Installing(L"PatchX86.msp", "x86"), kSucceeded, kCommitted}),
              run.log);
    EXPECT_EQ((Lines{Installing(L"PatchX64.msp", "x64"), Installing(L"PatchX86.msp", "x86")}), status.texts);
    ExpectBothProductsPatched();
    EXPECT_EQ(std::set<std::wstring>{PatchCode("PatchX64.msp")}, Registered("x64"));
    EXPECT_EQ(std::set<std::wstring>{PatchCode("PatchX86.msp")}, Registered("x86"));
    EXPECT_EQ((Lines{InstallerLogName(L"PatchX64.msp", "x64"), InstallerLogName(L"PatchX86.msp", "x86")}),
              ListTree(run.logDirectory));
    EXPECT_TRUE(HasInstallerLog(run.logDirectory, L"PatchX64.msp", "x64"));
    EXPECT_TRUE(HasInstallerLog(run.logDirectory, L"PatchX86.msp", "x86"));
}

TEST_F(EngineWithInstaller, OnePatchForBothProducts) {
    const RealRun run = Run({L"PatchBoth.msp"}, nullptr);
    EXPECT_EQ(0, run.result);
    // The first call already patches both products; Wine's Installer still finds the patch applicable to the
    // x86 product afterwards, and applying it again succeeds.
    EXPECT_EQ((Lines{kExtracting, kDetermining, OrderLine("x64"), Installing(L"PatchBoth.msp", "x64"), kSucceeded,
                     OrderLine("x86"), Installing(L"PatchBoth.msp", "x86"), kSucceeded, kCommitted}),
              run.log);
    EXPECT_EQ(PatchedText("PatchBoth.msp", "x64"), InstalledText("x64"));
    EXPECT_EQ(PatchedText("PatchBoth.msp", "x86"), InstalledText("x86"));
    EXPECT_EQ(std::set<std::wstring>{PatchCode("PatchBoth.msp")}, Registered("x64"));
    EXPECT_EQ(std::set<std::wstring>{PatchCode("PatchBoth.msp")}, Registered("x86"));
    EXPECT_TRUE(HasInstallerLog(run.logDirectory, L"PatchBoth.msp", "x64"));
    EXPECT_TRUE(HasInstallerLog(run.logDirectory, L"PatchBoth.msp", "x86"));
}

TEST_F(EngineWithInstaller, FailingPatchStopsTheRun) {
    const RealRun run = Run({L"PatchX64.msp", L"PatchFails.msp", L"PatchX86.msp"}, nullptr);
    EXPECT_EQ(1, run.result);
    EXPECT_EQ(1603u, run.exitCode);
    EXPECT_EQ((Lines{kExtracting, kDetermining, OrderLine("x64"), Installing(L"PatchX64.msp", "x64"), kSucceeded,
                     Installing(L"PatchFails.msp", "x64"), ApplyFailed(1603)}),
              run.log);
    // What was applied before the failure stays (Wine's transaction is a stub); the x86 product is untouched.
    EXPECT_EQ(PatchedText("PatchX64.msp", "x64"), InstalledText("x64"));
    EXPECT_EQ(Fact("/products/x86/original"), InstalledText("x86"));
    EXPECT_EQ(std::set<std::wstring>{}, Registered("x86"));
    EXPECT_EQ((Lines{InstallerLogName(L"PatchFails.msp", "x64"), InstallerLogName(L"PatchX64.msp", "x64")}),
              ListTree(run.logDirectory));
}

TEST_F(EngineWithInstaller, PatchThatNeedsARestart) {
    // No window: the question is not asked, and nothing else changes.
    const RealRun run = Run({L"PatchReboot.msp"}, nullptr);
    EXPECT_EQ(0, run.result);
    EXPECT_EQ(3010u, run.exitCode);
    EXPECT_EQ((Lines{kExtracting, kDetermining, OrderLine("x86"), Installing(L"PatchReboot.msp", "x86"), kSucceeded,
                     kCommitted, kRebootLine}),
              run.log);
    EXPECT_EQ(PatchedText("PatchReboot.msp", "x86"), InstalledText("x86"));
}

TEST_F(EngineWithInstaller, ProductThatIsNotInstalledIsSkipped) {
    const RealRun run = Run({L"PatchNotInstalled.msp", L"PatchX64.msp"}, nullptr, false);
    EXPECT_EQ(0, run.result);
    EXPECT_EQ((Lines{kExtracting, kDetermining, OrderLine("x64"), Installing(L"PatchX64.msp", "x64"), kSucceeded,
                     kCommitted}),
              run.log);
    EXPECT_EQ(PatchedText("PatchX64.msp", "x64"), InstalledText("x64"));
}

TEST_F(EngineWithInstaller, FileThatIsNotAPatchStopsBeforeAnything) {
    const RealRun run = RunPackedByHand({L"PatchX64.msp", L"NotAPatch.msp"}, nullptr);
    EXPECT_EQ(1, run.result);
    EXPECT_EQ(1u, run.exitCode);
    EXPECT_EQ(Lines{kExtracting}, run.log);
    EXPECT_EQ(Fact("/products/x64/original"), InstalledText("x64"));
    EXPECT_EQ(std::set<std::wstring>{}, Registered("x64"));
}

TEST_F(EngineWithInstaller, NothingToUpdateStillCommits) {
    const RealRun run = Run({L"PatchNotInstalled.msp"}, nullptr);
    EXPECT_EQ(0, run.result);
    EXPECT_EQ((Lines{kExtracting, kDetermining, kCommitted}), run.log);
    EXPECT_EQ(Fact("/products/x64/original"), InstalledText("x64"));
    EXPECT_EQ(Fact("/products/x86/original"), InstalledText("x86"));
}

}  // namespace
}  // namespace corvantile
