// The engine against a scripted Installer: every call, argument, order, log line and result of a run.
#include "engine/ApplyUpdates.h"

#include "tests/engine/FakeInstaller.h"
#include "tests/package/PackageTestSupport.h"
#include "tests/support/SystemTexts.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <deque>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace corvantile {
namespace {

using namespace testing;
using Lines = std::vector<std::wstring>;

const HWND kOwner = reinterpret_cast<HWND>(std::uintptr_t{0x1234});
constexpr wchar_t kApplyArguments[] = L", null, 0, REINSTALL=ALL REINSTALLMODE=omus)";
using namespace texts;
const std::wstring kQuestion =
    std::wstring(L"MessageBoxW(0x1234, ") + kRestartQuestion + L", " + kRestartCaption + L", 4)";

// The real updater's string table, read from the program the build puts beside this test.
HINSTANCE UpdaterStrings() {
    static const HINSTANCE module = [] {
        wchar_t self[MAX_PATH];
        const DWORD length = GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring path(self, length);
        path.resize(path.rfind(L'\\') + 1);
        path += L"CorvantileUpdater.exe";
        return LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    }();
    return module;
}

std::wstring Apply(const std::wstring& fileName) {
    return L"MsiApplyPatchW(<dir>\\" + fileName + kApplyArguments;
}

std::wstring Installing(const std::wstring& fileName, const std::wstring& productName) {
    return L"Installing update '" + fileName + L"' for '" + productName + L"'.";
}

std::wstring OrderLine(const std::wstring& productName) {
    return L"Determining update application order for product '" + productName + L"'.";
}

struct RunOutcome {
    int result = -1;
    std::uint32_t exitCode = 0;  // what the process would end with
    Lines log;
};

// One fixture builds the package, scripts the Installer and runs the engine; it checks after every test
// that each Installer handle was closed once, and each transaction ended once and never closed after that.
class Engine : public ::testing::Test {
protected:
    FakeInstaller fake;
    std::wstring logDirectory;
    HWND owner = kOwner;
    HINSTANCE strings = UpdaterStrings();

    FakePatch& Patch(const std::wstring& fileName, const std::wstring& targets) {
        files_.push_back({fileName, PatchLikeData(64 + files_.size(), static_cast<std::uint32_t>(files_.size()))});
        FakePatch& patch = fake.patches[fileName];
        patch.targets = targets;
        return patch;
    }

    FakeProduct& Product(const std::wstring& code, const std::wstring& packageTemplate = L"x64;1033") {
        FakeProduct& product = fake.products[code];
        product.packageTemplate = packageTemplate;
        product.installedName = L"Name of " + code;
        return product;
    }

    RunOutcome Run(const Bytes& package) {
        CraftedUpdater updater(scratch_.path(), package);
        EXPECT_TRUE(updater.headerRead());
        fake.extractDir = scratch_ / L"work";
        const EngineContext context{&FakeInstaller::Load, &updater.package(), logDirectory, strings};
        const LogCapture log;
        fake.RecordLogLines();
        RunOutcome outcome;
        UpdateOutcome updateOutcome;
        outcome.result = ApplyUpdates(context, fake.extractDir.c_str(), owner, updateOutcome);
        outcome.exitCode = UpdateExitCode(outcome.result, updateOutcome);
        outcome.log = log.Lines();
        return outcome;
    }
    RunOutcome Run() { return Run(BuildPackage(files_)); }

    void TearDown() override {
        EXPECT_TRUE(fake.OpenHandles().empty()) << "an Installer handle was left open";
        EXPECT_EQ(Lines{}, fake.HandleFaults());
    }

    const std::vector<UpdateFile>& files() const { return files_; }
    const TempDirectory& scratch() const { return scratch_; }

private:
    TempDirectory scratch_{TempDirectory::Parent::UserTemp};
    std::vector<UpdateFile> files_;
};

// ---- Input, loading and extraction: nothing reaches the Installer ----

TEST_F(Engine, NullOrEmptyDirectoryDoesNothing) {
    Patch(L"a.msp", L"{A}");
    CraftedUpdater updater(scratch().path(), BuildPackage(files()));
    const EngineContext context{&FakeInstaller::Load, &updater.package(), L"", UpdaterStrings()};
    const LogCapture log;
    UpdateOutcome outcome;
    EXPECT_EQ(1, ApplyUpdates(context, nullptr, kOwner, outcome));
    EXPECT_EQ(1, ApplyUpdates(context, L"", kOwner, outcome));
    EXPECT_EQ(1u, UpdateExitCode(1, outcome));
    EXPECT_EQ(Lines{}, log.Lines());
    EXPECT_EQ(Lines{}, fake.calls);
}

TEST_F(Engine, InstallerThatCannotBeLoadedStopsBeforeExtraction) {
    Patch(L"a.msp", L"{A}");
    CraftedUpdater updater(scratch().path(), BuildPackage(files()));
    const EngineContext context{[]() -> const InstallerApi* { return nullptr; }, &updater.package(), L"",
                                UpdaterStrings()};
    const LogCapture log;
    UpdateOutcome outcome;
    EXPECT_EQ(1, ApplyUpdates(context, (scratch() / L"work").c_str(), kOwner, outcome));
    EXPECT_EQ(1u, UpdateExitCode(1, outcome));
    EXPECT_EQ(Lines{L"Failed to load the Windows Installer."}, log.Lines());
    EXPECT_FALSE(PathExists(scratch() / L"work"));
}

TEST_F(Engine, FailedExtractionStopsBeforeTheInstaller) {
    Patch(L"a.msp", L"{A}");
    const Bytes package = BuildPackage(files());
    const RunOutcome outcome = Run(Prefix(package, package.size() - 1));
    EXPECT_EQ(1, outcome.result);
    EXPECT_EQ((Lines{kExtracting, L"Failed to extract update."}), outcome.log);
    EXPECT_EQ(Lines{}, fake.calls);
}

TEST_F(Engine, SemicolonInAPatchPathStopsBeforeTheInstaller) {
    Patch(L"a.msp", L"{A}");
    Patch(L"b;c.msp", L"{A}");
    Product(L"{A}");
    const RunOutcome outcome = Run();
    EXPECT_EQ(1, outcome.result);
    EXPECT_EQ((Lines{kExtracting, L"Update file path contains a semicolon."}), outcome.log);
    EXPECT_EQ(Lines{}, fake.calls);
}

TEST_F(Engine, PatchPathBeyondMaxPathStopsBeforeTheInstaller) {
    Patch(L"a.msp", L"{A}");
    Product(L"{A}");
    const std::wstring work = scratch() / L"work";
    // One character more than fits: the directory, a backslash, the name and its NUL in 260 characters.
    Patch(std::wstring(260 - work.size() - 1 - 1 + 1 - 4, L'n') + L".msp", L"{A}");
    const RunOutcome outcome = Run();
    EXPECT_EQ(1u, outcome.exitCode);
    EXPECT_EQ((Lines{kExtracting, L"Update file path too long."}), outcome.log);
    EXPECT_EQ(Lines{}, fake.calls);
}

// ---- The catalogue: a patch that cannot be read ends the run there ----

struct PatchFailure {
    const char* name;
    void (*script)(FakePatch&);
    // The calls made for the third patch, handles numbered as the run gives them.
    Lines thirdPatchCalls;
};

void PrintTo(const PatchFailure& failure, std::ostream* out) {
    *out << failure.name;
}

class EngineCatalogueFailure : public Engine, public ::testing::WithParamInterface<PatchFailure> {};

TEST_P(EngineCatalogueFailure, ThirdOfFiveStopsTheRunWithoutALogLine) {
    for (int i = 1; i <= 5; ++i) Patch(L"p" + std::to_wstring(i) + L".msp", L"{A}");
    Product(L"{A}");
    GetParam().script(fake.patches[L"p3.msp"]);
    const RunOutcome outcome = Run();
    EXPECT_EQ(1, outcome.result);
    EXPECT_EQ(Lines{kExtracting}, outcome.log);
    // Two patches read whole (open, summary, probe, read, close summary, close database), then the third.
    ASSERT_EQ(12 + GetParam().thirdPatchCalls.size(), fake.calls.size());
    EXPECT_EQ(L"MsiCloseHandle(#2)", fake.calls[4]) << "summary before database";
    EXPECT_EQ(L"MsiCloseHandle(#1)", fake.calls[5]);
    EXPECT_EQ(GetParam().thirdPatchCalls, Lines(fake.calls.begin() + 12, fake.calls.end()));
}

INSTANTIATE_TEST_SUITE_P(
    Steps, EngineCatalogueFailure,
    ::testing::Values(
        PatchFailure{"OpenFails", [](FakePatch& p) { p.openResult = ERROR_OPEN_FAILED; },
                     {L"MsiOpenDatabaseW(<dir>\\p3.msp, 32)"}},
        PatchFailure{"SummaryFails", [](FakePatch& p) { p.summaryResult = ERROR_INSTALL_PACKAGE_INVALID; },
                     {L"MsiOpenDatabaseW(<dir>\\p3.msp, 32)", L"MsiGetSummaryInformationW(#5, null, 0)",
                      L"MsiCloseHandle(#5)"}},
        PatchFailure{"ProbeGivesSuccessInsteadOfMoreData",
                     [](FakePatch& p) { p.templateProbeResult = ERROR_SUCCESS; },
                     {L"MsiOpenDatabaseW(<dir>\\p3.msp, 32)", L"MsiGetSummaryInformationW(#5, null, 0)",
                      L"MsiSummaryInfoGetPropertyW(#6, 7, count=0)", L"MsiCloseHandle(#6)", L"MsiCloseHandle(#5)"}},
        PatchFailure{"TemplateReadFails", [](FakePatch& p) { p.templateReadResult = ERROR_FUNCTION_FAILED; },
                     {L"MsiOpenDatabaseW(<dir>\\p3.msp, 32)", L"MsiGetSummaryInformationW(#5, null, 0)",
                      L"MsiSummaryInfoGetPropertyW(#6, 7, count=0)", L"MsiSummaryInfoGetPropertyW(#6, 7, count=4)",
                      L"MsiCloseHandle(#6)", L"MsiCloseHandle(#5)"}}),
    [](const ::testing::TestParamInfo<PatchFailure>& info) { return info.param.name; });

// ---- The catalogue: which products, in which groups and order ----

TEST_F(Engine, EmptyTableStillOpensAndCommitsTheTransaction) {
    const RunOutcome outcome = Run();
    EXPECT_EQ(0, outcome.result);
    EXPECT_EQ((Lines{kExtracting, kDetermining, kCommitted}), outcome.log);
    EXPECT_EQ(0u, outcome.exitCode);
    EXPECT_EQ((Lines{L"MsiBeginTransactionW(CorvantileUpdater, 0)", L"MsiEndTransaction(1)"}), fake.calls);
}

TEST_F(Engine, ProductsGoX64FirstEachGroupByCodeUnits) {
    // Targets name one product twice, a code with a blank, codes differing in case and one code that is the
    // prefix of another; an empty template names nothing, while an empty piece is a code like any other.
    Patch(L"a.msp", L"{a};{A};{A}x");
    Patch(L"b.msp", L"{1};{A}; {B}");
    Patch(L"c.msp", L"");
    Patch(L"d.msp", L"{A};{A};{Z}");
    Patch(L"e.msp", L";{1}");
    Patch(L"f.msp", L"{Z};;{a}");
    Product(L"");
    Product(L"{a}", L"x64;1033");
    Product(L"{A}", L"X64;1033");  // the platform is matched case-sensitively
    Product(L"{A}x", L"Intel;1033");
    Product(L"{1}", L"AMD64,x64;1031");
    Product(L" {B}", L"x64;1033");
    Product(L"{Z}").state = INSTALLSTATE_ABSENT;

    const RunOutcome outcome = Run();
    EXPECT_EQ(0, outcome.result);
    EXPECT_EQ((Lines{L"MsiQueryProductStateW()", L"MsiQueryProductStateW( {B})", L"MsiQueryProductStateW({1})", L"MsiQueryProductStateW({A})",
                     L"MsiQueryProductStateW({A}x)", L"MsiQueryProductStateW({Z})", L"MsiQueryProductStateW({a})"}),
              fake.CallsStartingWith(L"MsiQueryProductStateW("));
    EXPECT_EQ((Lines{
                  L"MsiDeterminePatchSequenceW(, null, 4, 2, [<dir>\\e.msp type=0 order=-1 status=0] "
                  L"[<dir>\\f.msp type=0 order=-1 status=0])",
                  L"MsiDeterminePatchSequenceW( {B}, null, 4, 1, [<dir>\\b.msp type=0 order=-1 status=0])",
                  L"MsiDeterminePatchSequenceW({1}, null, 4, 2, [<dir>\\b.msp type=0 order=-1 status=0] "
                  L"[<dir>\\e.msp type=0 order=-1 status=0])",
                  L"MsiDeterminePatchSequenceW({a}, null, 4, 2, [<dir>\\a.msp type=0 order=-1 status=0] "
                  L"[<dir>\\f.msp type=0 order=-1 status=0])",
                  L"MsiDeterminePatchSequenceW({A}, null, 4, 4, [<dir>\\a.msp type=0 order=-1 status=0] "
                  L"[<dir>\\b.msp type=0 order=-1 status=0] [<dir>\\d.msp type=0 order=-1 status=0] "
                  L"[<dir>\\d.msp type=0 order=-1 status=0])",
                  L"MsiDeterminePatchSequenceW({A}x, null, 4, 1, [<dir>\\a.msp type=0 order=-1 status=0])",
              }),
              fake.CallsStartingWith(L"MsiDeterminePatchSequenceW("));
    EXPECT_EQ(Apply(L"e.msp"), fake.CallsStartingWith(L"MsiApplyPatchW(").at(0)) << "the empty code is updated";
}

// Only INSTALLSTATE_DEFAULT is installed: any other state skips the product without a line.
class EngineProductState : public Engine, public ::testing::WithParamInterface<INSTALLSTATE> {};

TEST_P(EngineProductState, OtherThanDefaultSkipsTheProductSilently) {
    Patch(L"a.msp", L"{A};{B}");
    Product(L"{A}").state = GetParam();
    Product(L"{B}");
    const RunOutcome outcome = Run();
    EXPECT_EQ(0, outcome.result);
    EXPECT_EQ((Lines{kExtracting, kDetermining, OrderLine(L"Name of {B}"), Installing(L"a.msp", L"Name of {B}"),
                     kSucceeded, kCommitted}),
              outcome.log);
    EXPECT_EQ(Lines{}, fake.CallsStartingWith(L"MsiGetProductInfoW({A}"));
}

INSTANTIATE_TEST_SUITE_P(Steps, EngineProductState,
                         ::testing::Values(INSTALLSTATE_INVALIDARG, INSTALLSTATE_UNKNOWN, INSTALLSTATE_BROKEN,
                                           INSTALLSTATE_ADVERTISED, INSTALLSTATE_ABSENT, INSTALLSTATE_LOCAL,
                                           INSTALLSTATE_SOURCE));

struct PackageFailure {
    const char* name;
    void (*script)(FakeProduct&);
    Lines secondProductCalls;  // from its state query on
};

void PrintTo(const PackageFailure& failure, std::ostream* out) {
    *out << failure.name;
}

class EngineInstalledPackageFailure : public Engine, public ::testing::WithParamInterface<PackageFailure> {};

TEST_P(EngineInstalledPackageFailure, EndsTheRunBeforeTheTransaction) {
    Patch(L"a.msp", L"{1};{2};{3}");
    Product(L"{1}");
    Product(L"{2}");
    Product(L"{3}");
    GetParam().script(fake.products[L"{2}"]);
    const RunOutcome outcome = Run();
    EXPECT_EQ(1, outcome.result);
    EXPECT_EQ((Lines{kExtracting, kDetermining}), outcome.log);
    const auto query = std::find(fake.calls.begin(), fake.calls.end(), L"MsiQueryProductStateW({2})");
    ASSERT_NE(fake.calls.end(), query);
    EXPECT_EQ(GetParam().secondProductCalls, Lines(query + 1, fake.calls.end())) << "and nothing after them";
}

const std::wstring kPackageProbe = L"MsiGetProductInfoW({2}, LocalPackage, null, 0)";
const std::wstring kPackageRead = L"MsiGetProductInfoW({2}, LocalPackage, buffer, 29)";
const std::wstring kPackageSummary = L"MsiGetSummaryInformationW(#0, C:\\Windows\\Installer\\{2}.msi, 0)";

INSTANTIATE_TEST_SUITE_P(
    Steps, EngineInstalledPackageFailure,
    ::testing::Values(
        PackageFailure{"LocalPackageMissing", [](FakeProduct& p) { p.localPackageProbeResult = ERROR_UNKNOWN_PROPERTY; },
                       {kPackageProbe}},
        PackageFailure{"LocalPackageReadFails", [](FakeProduct& p) { p.localPackageReadResult = ERROR_FUNCTION_FAILED; },
                       {kPackageProbe, kPackageRead}},
        PackageFailure{"PackageSummaryUnreadable", [](FakeProduct& p) { p.packageSummaryResult = ERROR_OPEN_FAILED; },
                       {kPackageProbe, kPackageRead, kPackageSummary}},
        PackageFailure{"PackageProbeGivesSuccess", [](FakeProduct& p) { p.packageTemplateProbeResult = ERROR_SUCCESS; },
                       {kPackageProbe, kPackageRead, kPackageSummary, L"MsiSummaryInfoGetPropertyW(#4, 7, count=0)",
                        L"MsiCloseHandle(#4)"}},
        PackageFailure{"PackageTemplateReadFails",
                       [](FakeProduct& p) { p.packageTemplateReadResult = ERROR_FUNCTION_FAILED; },
                       {kPackageProbe, kPackageRead, kPackageSummary, L"MsiSummaryInfoGetPropertyW(#4, 7, count=0)",
                        L"MsiSummaryInfoGetPropertyW(#4, 7, count=9)", L"MsiCloseHandle(#4)"}}),
    [](const ::testing::TestParamInfo<PackageFailure>& info) { return info.param.name; });

// ---- One product: its order, its lines, its results ----

TEST_F(Engine, AppliesByOrderValueThenArrayOrderSkippingTheRest) {
    for (int i = 0; i < 6; ++i) Patch(L"p" + std::to_wstring(i) + L".msp", L"{A}");
    // Ties, a gap, a superseded patch (order -1, status 0) and one that does not apply at order 1.
    Product(L"{A}").sequence = {{2, 0}, {0, 0}, {-1, 0}, {2, 0}, {1, ERROR_PATCH_TARGET_NOT_FOUND}, {4, 0}};
    logDirectory = L"C:\\logs\\";
    const RunOutcome outcome = Run();
    EXPECT_EQ(0, outcome.result);
    EXPECT_EQ((Lines{Apply(L"p1.msp"), Apply(L"p0.msp"), Apply(L"p3.msp"), Apply(L"p5.msp")}),
              fake.CallsStartingWith(L"MsiApplyPatchW("));
    EXPECT_EQ((Lines{kExtracting, kDetermining, OrderLine(L"Name of {A}"), Installing(L"p1.msp", L"Name of {A}"),
                     kSucceeded, Installing(L"p0.msp", L"Name of {A}"), kSucceeded,
                     Installing(L"p3.msp", L"Name of {A}"), kSucceeded, Installing(L"p5.msp", L"Name of {A}"),
                     kSucceeded, kCommitted}),
              outcome.log);
    EXPECT_EQ((Lines{Installing(L"p1.msp", L"Name of {A}"), Installing(L"p0.msp", L"Name of {A}"),
                     Installing(L"p3.msp", L"Name of {A}"), Installing(L"p5.msp", L"Name of {A}")}),
              fake.statusTexts);
    EXPECT_EQ(Lines{L"MsiSetInternalUI(2, null)"}, fake.CallsStartingWith(L"MsiSetInternalUI("));
    EXPECT_EQ((Lines{L"MsiEnableLogW(0x1000, C:\\logs\\p1.msp {A}.log, 0)",
                     L"MsiEnableLogW(0x1000, C:\\logs\\p0.msp {A}.log, 0)",
                     L"MsiEnableLogW(0x1000, C:\\logs\\p3.msp {A}.log, 0)",
                     L"MsiEnableLogW(0x1000, C:\\logs\\p5.msp {A}.log, 0)"}),
              fake.CallsStartingWith(L"MsiEnableLogW("));
}

TEST_F(Engine, ProductWithNothingToApplyIsNoFailure) {
    Patch(L"a.msp", L"{1};{2}");
    Patch(L"b.msp", L"{1}");
    Product(L"{1}").sequence = {{-1, 0}, {0, ERROR_PATCH_TARGET_NOT_FOUND}};
    Product(L"{2}");
    const RunOutcome outcome = Run();
    EXPECT_EQ(0, outcome.result);
    EXPECT_EQ((Lines{kExtracting, kDetermining, OrderLine(L"Name of {1}"), L"No updates required.",
                     OrderLine(L"Name of {2}"), Installing(L"a.msp", L"Name of {2}"), kSucceeded, kCommitted}),
              outcome.log);
    // The Installer's UI level is set once per product with work, before its first patch.
    const std::size_t setUi = std::find(fake.calls.begin(), fake.calls.end(), L"MsiSetInternalUI(2, null)") -
                              fake.calls.begin();
    ASSERT_LT(setUi + 2, fake.calls.size());
    EXPECT_EQ(L"MsiDeterminePatchSequenceW({2}", fake.calls[setUi - 1].substr(0, 30));
    EXPECT_EQ(1u, fake.CallsStartingWith(L"MsiSetInternalUI(").size());
    EXPECT_EQ(Lines{L"SendMessageW(0x1234, 0x8003, Installing update 'a.msp' for 'Name of {2}'., 0)"},
              fake.CallsStartingWith(L"SendMessageW("));
}

struct NameCase {
    const char* name;
    void (*script)(FakeProduct&);
    const wchar_t* shown;
};

void PrintTo(const NameCase& name, std::ostream* out) {
    *out << name.name;
}

class EngineDisplayName : public Engine, public ::testing::WithParamInterface<NameCase> {};

TEST_P(EngineDisplayName, IsTheInstalledNameAsReadElseTheProductCode) {
    Patch(L"a.msp", L"{A}");
    GetParam().script(Product(L"{A}"));
    const RunOutcome outcome = Run();
    EXPECT_EQ(0, outcome.result);
    EXPECT_EQ(OrderLine(GetParam().shown), outcome.log.at(2));
    EXPECT_EQ(Lines{Installing(L"a.msp", GetParam().shown)}, fake.statusTexts);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, EngineDisplayName,
    ::testing::Values(NameCase{"Unreadable", [](FakeProduct& p) { p.installedName.reset(); }, L"{A}"},
                      NameCase{"SecondReadFails",
                               [](FakeProduct& p) { p.installedNameReadResult = ERROR_FUNCTION_FAILED; }, L"{A}"},
                      NameCase{"EmptyIsKept", [](FakeProduct& p) { p.installedName = L""; }, L""}),
    [](const ::testing::TestParamInfo<NameCase>& info) { return info.param.name; });

TEST_F(Engine, MissingStatusStringGivesAnEmptyStatusLine) {
    Patch(L"a.msp", L"{A}");
    Product(L"{A}");
    strings = GetModuleHandleW(nullptr);  // this test program has no string table
    const RunOutcome outcome = Run();
    EXPECT_EQ(0, outcome.result);
    EXPECT_EQ((Lines{kExtracting, kDetermining, OrderLine(L"Name of {A}"), L"", kSucceeded, kCommitted}),
              outcome.log);
    EXPECT_EQ(Lines{L""}, fake.statusTexts);
}

// Each line is written before the call it announces, so that a call that hangs or crashes follows its line.
struct LineCase {
    const char* name;
    void (*script)(FakeInstaller&);
    std::wstring line;
    std::wstring callPrefix;
};

void PrintTo(const LineCase& line, std::ostream* out) {
    *out << line.name;
}

class EngineLineBeforeCall : public Engine, public ::testing::WithParamInterface<LineCase> {};

TEST_P(EngineLineBeforeCall, ComesBeforeTheFirstSuchCall) {
    Patch(L"a.msp", L"{A}");
    Product(L"{A}");
    GetParam().script(fake);
    (void)Run();
    const Lines events = fake.Events();
    const auto line = std::find(events.begin(), events.end(), L"log: " + GetParam().line);
    const auto call = std::find_if(events.begin(), events.end(), [](const std::wstring& event) {
        return event.rfind(GetParam().callPrefix, 0) == 0;
    });
    ASSERT_NE(events.end(), line);
    ASSERT_NE(events.end(), call);
    EXPECT_LT(line, call);
}

void NoScript(FakeInstaller&) {}

INSTANTIATE_TEST_SUITE_P(
    Steps, EngineLineBeforeCall,
    ::testing::Values(
        LineCase{"DeterminingBeforeTheFirstQuery", NoScript, kDetermining, L"MsiQueryProductStateW("},
        LineCase{"OrderLineBeforeSequencing", NoScript, OrderLine(L"Name of {A}"), L"MsiDeterminePatchSequenceW("},
        LineCase{"OrderLineBeforeFailingSequencing",
                 [](FakeInstaller& f) { f.products[L"{A}"].sequenceResult = ERROR_FUNCTION_FAILED; },
                 OrderLine(L"Name of {A}"), L"MsiDeterminePatchSequenceW("},
        LineCase{"StatusLineBeforeApply", NoScript, Installing(L"a.msp", L"Name of {A}"), L"MsiApplyPatchW("},
        LineCase{"RestartLineBeforeTheQuestion",
                 [](FakeInstaller& f) { f.applyResults[L"a.msp"] = {ERROR_SUCCESS_REBOOT_REQUIRED}; }, kRebootLine,
                 L"MessageBoxW("}),
    [](const ::testing::TestParamInfo<LineCase>& info) { return info.param.name; });

TEST_F(Engine, FailedSequencingFailsWithoutALineOfItsOwn) {
    Patch(L"a.msp", L"{A};{B}");
    Product(L"{A}").sequenceResult = ERROR_UNKNOWN_PRODUCT;
    Product(L"{B}");
    const RunOutcome outcome = Run();
    EXPECT_EQ(1, outcome.result);
    EXPECT_EQ(static_cast<std::uint32_t>(ERROR_UNKNOWN_PRODUCT), outcome.exitCode);
    EXPECT_EQ((Lines{kExtracting, kDetermining, OrderLine(L"Name of {A}")}), outcome.log);
    EXPECT_EQ(Lines{}, fake.CallsStartingWith(L"MsiApplyPatchW("));
    EXPECT_EQ(Lines{L"MsiEndTransaction(0)"}, fake.CallsStartingWith(L"MsiEndTransaction(")) << "rolled back";
}

TEST_F(Engine, FailedPatchRollsTheTransactionBack) {
    Patch(L"p1.msp", L"{1}");
    Patch(L"p2.msp", L"{1}");
    Patch(L"p3.msp", L"{1}");
    Patch(L"other.msp", L"{2}");
    Product(L"{1}");
    Product(L"{2}", L"Intel;1033");
    fake.applyResults[L"p2.msp"] = {ERROR_INSTALL_FAILURE};
    const RunOutcome outcome = Run();
    EXPECT_EQ(1, outcome.result);
    EXPECT_EQ((Lines{kExtracting, kDetermining, OrderLine(L"Name of {1}"), Installing(L"p1.msp", L"Name of {1}"),
                     kSucceeded, Installing(L"p2.msp", L"Name of {1}"), L"MsiApplyPatch failed with error=1603"}),
              outcome.log);
    EXPECT_EQ(1603u, outcome.exitCode);
    EXPECT_EQ((Lines{Apply(L"p1.msp"), Apply(L"p2.msp")}), fake.CallsStartingWith(L"MsiApplyPatchW("));
    EXPECT_EQ(L"MsiEndTransaction(0)", fake.calls.back()) << "rolled back at once, and its handle left alone";
}

TEST_F(Engine, RestartInitiatedByAPatchCountsAsFailure) {
    Patch(L"a.msp", L"{A}");
    Product(L"{A}");
    fake.applyResults[L"a.msp"] = {ERROR_SUCCESS_REBOOT_INITIATED};
    const RunOutcome outcome = Run();
    EXPECT_EQ(1, outcome.result);
    EXPECT_EQ(1641u, outcome.exitCode) << "the machine is restarting: the deployment tool must know";
    EXPECT_EQ(L"MsiApplyPatch failed with error=1641", outcome.log.back());
}

TEST_F(Engine, InstallerLogPerPatchOnlyWhenLogging) {
    Patch(L"Example_x64_KB0000001.msp", L"{A}");
    Product(L"{A}");
    logDirectory = L"C:\\logs\\";
    EXPECT_EQ(0, Run().result);
    EXPECT_EQ(Lines{L"MsiEnableLogW(0x1000, C:\\logs\\Example_x64_KB0000001.msp {A}.log, 0)"},
              fake.CallsStartingWith(L"MsiEnableLogW("));
}

TEST_F(Engine, NoInstallerLogWithoutLogging) {
    Patch(L"a.msp", L"{A}");
    Product(L"{A}");
    EXPECT_EQ(0, Run().result);
    EXPECT_EQ(Lines{}, fake.CallsStartingWith(L"MsiEnableLogW("));
    EXPECT_EQ(1u, fake.CallsStartingWith(L"MsiApplyPatchW(").size());
}

TEST_F(Engine, LongStatusTextIsCutToFitInLogAndDialog) {
    const std::wstring fileName = std::wstring(100, L'f') + L".msp";
    Patch(fileName, L"{A}");
    Product(L"{A}").installedName = std::wstring(400, L'n');
    const RunOutcome outcome = Run();
    EXPECT_EQ(0, outcome.result);
    const std::wstring expected = Installing(fileName, std::wstring(400, L'n')).substr(0, 511);
    EXPECT_EQ(Lines{expected}, fake.statusTexts);
    EXPECT_EQ(expected, outcome.log.at(3));
}

// ---- The transaction, the commit and the restart ----

// While another installation runs, the whole transaction is tried three times, 5 s apart, and nothing of it
// stays open in between.
struct BusyCase {
    const char* name;
    std::deque<UINT> beginResults;
    std::deque<UINT> applyResults;
    int result;
    std::uint32_t exitCode;
    Lines transactionCalls;  // begins, applies, ends and waits, in order
    int waits;
};

void PrintTo(const BusyCase& busy, std::ostream* out) {
    *out << busy.name;
}

const std::wstring kBegin = L"MsiBeginTransactionW(CorvantileUpdater, 0)";
const std::wstring kWait = L"Sleep(5000)";
constexpr wchar_t kWaitLine[] = L"Another installation is in progress. Waiting before trying again.";

class EngineBusyInstaller : public Engine, public ::testing::WithParamInterface<BusyCase> {};

TEST_P(EngineBusyInstaller, WaitsAndTriesTheTransactionAgain) {
    const BusyCase& c = GetParam();
    Patch(L"a.msp", L"{A}");
    Product(L"{A}");
    fake.beginResults = c.beginResults;
    fake.applyResults[L"a.msp"] = c.applyResults;
    const RunOutcome outcome = Run();
    EXPECT_EQ(c.result, outcome.result);
    EXPECT_EQ(c.exitCode, outcome.exitCode);
    Lines transactionCalls;
    for (const std::wstring& call : fake.calls) {
        if (call.rfind(L"MsiBeginTransactionW(", 0) == 0 || call.rfind(L"MsiApplyPatchW(", 0) == 0 ||
            call.rfind(L"MsiEndTransaction(", 0) == 0 || call.rfind(L"Sleep(", 0) == 0) {
            transactionCalls.push_back(call);
        }
    }
    EXPECT_EQ(c.transactionCalls, transactionCalls);
    EXPECT_EQ(static_cast<std::ptrdiff_t>(c.waits), std::count(outcome.log.begin(), outcome.log.end(), kWaitLine));
}

INSTANTIATE_TEST_SUITE_P(
    Tries, EngineBusyInstaller,
    ::testing::Values(
        BusyCase{"BusyBusyFree", {1618, 1618}, {}, 0, 0,
                 {kBegin, kWait, kBegin, kWait, kBegin, Apply(L"a.msp"), L"MsiEndTransaction(1)"}, 2},
        BusyCase{"BusyThroughout", {1618, 1618, 1618, 0}, {}, 1, 1618, {kBegin, kWait, kBegin, kWait, kBegin}, 2},
        BusyCase{"PatchMeetsABusyInstaller", {}, {1618}, 0, 0,
                 {kBegin, Apply(L"a.msp"), L"MsiEndTransaction(0)", kWait, kBegin, Apply(L"a.msp"),
                  L"MsiEndTransaction(1)"},
                 1},
        BusyCase{"OtherFailureIsNotTriedAgain", {ERROR_INSTALL_FAILURE}, {}, 1, 1603, {kBegin}, 0}),
    [](const ::testing::TestParamInfo<BusyCase>& info) { return info.param.name; });

TEST_F(Engine, FailedCommitAfterARestartRequestAsksNothing) {
    Patch(L"a.msp", L"{A}");
    Product(L"{A}");
    fake.applyResults[L"a.msp"] = {ERROR_SUCCESS_REBOOT_REQUIRED};
    fake.endResult = ERROR_INSTALL_FAILURE;
    const RunOutcome outcome = Run();
    EXPECT_EQ(1, outcome.result);
    EXPECT_EQ(1603u, outcome.exitCode);
    EXPECT_EQ((Lines{kExtracting, kDetermining, OrderLine(L"Name of {A}"), Installing(L"a.msp", L"Name of {A}"),
                     kSucceeded, L"Committing MSI transaction failed."}),
              outcome.log);
    EXPECT_EQ(Lines{}, fake.CallsStartingWith(L"MessageBoxW("));
    EXPECT_EQ(L"MsiEndTransaction(1)", fake.calls.back()) << "ended once, its handle left alone";
}

struct RestartCase {
    const char* name;
    std::vector<UINT> applyResults;  // for the x64 product's patch, then the other product's
    UINT commitResult;
    bool withOwner;
    int answer;
    BOOL tokenOpens;
    BOOL privilegeFound;
    std::optional<DWORD> stationFlags;
    bool rebootLine;
    Lines restartCalls;  // from the question on
    std::uint32_t exitCode;
    BOOL restartAccepted = TRUE;
};

const std::wstring kStationQuery = L"GetUserObjectInformationW(station, 1, " + std::to_wstring(sizeof(USEROBJECTFLAGS)) + L")";
const Lines kFullRestart = {L"GetProcessWindowStation()", kStationQuery, kQuestion,
                            L"OpenProcessToken(current process, 0x28)",
                            L"LookupPrivilegeValueW(null, SeShutdownPrivilege)",
                            L"AdjustTokenPrivileges(token, 0, {luid=19 attributes=2}, 0, null, null)",
                            L"CloseHandle(token)",
                            L"ExitWindowsEx(0x2, 0x80040001)"};

void PrintTo(const RestartCase& restart, std::ostream* out) {
    *out << restart.name;
}

const Lines kAsked = {L"GetProcessWindowStation()", kStationQuery, kQuestion};

class EngineRestart : public Engine, public ::testing::WithParamInterface<RestartCase> {};

TEST_P(EngineRestart, AsksAndRestartsOnlyAsTheOutcomeRequires) {
    const RestartCase& c = GetParam();
    Patch(L"x64.msp", L"{1}");
    Patch(L"x86.msp", L"{2}");
    Product(L"{1}");
    Product(L"{2}", L"Intel;1033");
    fake.applyResults[L"x64.msp"] = {c.applyResults[0]};
    fake.applyResults[L"x86.msp"] = {c.applyResults[1]};
    fake.endResult = c.commitResult;
    fake.messageBoxAnswer = c.answer;
    fake.openTokenResult = c.tokenOpens;
    fake.lookupPrivilegeResult = c.privilegeFound;
    fake.windowStationFlags = c.stationFlags;
    fake.exitWindowsResult = c.restartAccepted;
    if (!c.withOwner) owner = nullptr;

    const RunOutcome outcome = Run();
    EXPECT_EQ(0, outcome.result);
    EXPECT_EQ(c.exitCode, outcome.exitCode);
    Lines expectedTail = c.rebootLine ? Lines{kCommitted, kRebootLine} : Lines{kCommitted};
    if (!c.restartAccepted) expectedTail.push_back(L"Requesting the reboot failed.");
    ASSERT_GE(outcome.log.size(), expectedTail.size());
    EXPECT_EQ(expectedTail, Lines(outcome.log.end() - expectedTail.size(), outcome.log.end()));
    const auto commit = std::find(fake.calls.begin(), fake.calls.end(), L"MsiEndTransaction(1)");
    ASSERT_NE(fake.calls.end(), commit);
    EXPECT_EQ(c.restartCalls, Lines(commit + 1, fake.calls.end()));
    // Without a window nothing is sent either; the log still names each patch.
    EXPECT_EQ(c.withOwner ? 2u : 0u, fake.CallsStartingWith(L"SendMessageW(").size());
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, EngineRestart,
    ::testing::Values(
        RestartCase{"NothingNeedsARestart", {0, 0}, 0, true, IDYES, TRUE, TRUE, WSF_VISIBLE, false, {}, 0},
        RestartCase{"X64ProductAsksOtherDoesNotYes", {3010, 0}, 0, true, IDYES, TRUE, TRUE, WSF_VISIBLE, true,
                    kFullRestart, 1641},
        RestartCase{"AnsweredNo", {0, 3010}, 0, true, IDNO, TRUE, TRUE, WSF_VISIBLE, true, kAsked, 3010},
        RestartCase{"NoWindowNoQuestion", {3010, 0}, 0, false, IDYES, TRUE, TRUE, WSF_VISIBLE, true, {}, 3010},
        RestartCase{"NobodyCanSeeTheQuestion", {3010, 0}, 0, true, IDYES, TRUE, TRUE, 0, true,
                    {L"GetProcessWindowStation()", kStationQuery}, 3010},
        RestartCase{"StationUnknownStillAsks", {3010, 0}, 0, true, IDNO, TRUE, TRUE, std::nullopt, true, kAsked,
                    3010},
        RestartCase{"TokenCannotBeOpened", {3010, 0}, 0, true, IDYES, FALSE, TRUE, WSF_VISIBLE, true,
                    {L"GetProcessWindowStation()", kStationQuery, kQuestion, L"OpenProcessToken(current process, 0x28)",
                     L"ExitWindowsEx(0x2, 0x80040001)"},
                    1641},
        RestartCase{"PrivilegeUnknown", {3010, 0}, 0, true, IDYES, TRUE, FALSE, WSF_VISIBLE, true,
                    {L"GetProcessWindowStation()", kStationQuery, kQuestion, L"OpenProcessToken(current process, 0x28)",
                     L"LookupPrivilegeValueW(null, SeShutdownPrivilege)", L"CloseHandle(token)",
                     L"ExitWindowsEx(0x2, 0x80040001)"},
                    1641},
        RestartCase{"WindowsRefusesTheRestart", {3010, 0}, 0, true, IDYES, TRUE, TRUE, WSF_VISIBLE, true,
                    kFullRestart, 3010, FALSE},
        RestartCase{"CommitNeedsARestart", {0, 0}, 3010, true, IDNO, TRUE, TRUE, WSF_VISIBLE, true, kAsked, 3010},
        RestartCase{"CommitStartedARestart", {3010, 0}, 1641, true, IDYES, TRUE, TRUE, WSF_VISIBLE, true, {},
                    1641}),
    [](const ::testing::TestParamInfo<RestartCase>& info) { return info.param.name; });

TEST_F(Engine, RebootRequiredThenSuccessBothApplied) {
    Patch(L"a.msp", L"{A}");
    Patch(L"b.msp", L"{A}");
    Product(L"{A}");
    fake.applyResults[L"a.msp"] = {ERROR_SUCCESS_REBOOT_REQUIRED};
    const RunOutcome outcome = Run();
    EXPECT_EQ(0, outcome.result);
    EXPECT_EQ((Lines{Installing(L"a.msp", L"Name of {A}"), kSucceeded, Installing(L"b.msp", L"Name of {A}"),
                     kSucceeded, kCommitted, kRebootLine}),
              Lines(outcome.log.begin() + 3, outcome.log.end()));
}

// ---- One run, call by call ----

TEST_F(Engine, WholeCallSequenceOfOneRun) {
    Patch(L"both.msp", L"{B};{A}");
    Patch(L"a.msp", L"{A}");
    Product(L"{A}", L"Intel;1033");
    Product(L"{B}", L"x64;1033");
    logDirectory = L"C:\\logs\\";
    const RunOutcome outcome = Run();
    EXPECT_EQ(0, outcome.result);
    const Lines expected = {
        L"MsiOpenDatabaseW(<dir>\\both.msp, 32)",
        L"MsiGetSummaryInformationW(#1, null, 0)",
        L"MsiSummaryInfoGetPropertyW(#2, 7, count=0)",
        L"MsiSummaryInfoGetPropertyW(#2, 7, count=8)",
        L"MsiCloseHandle(#2)",
        L"MsiCloseHandle(#1)",
        L"MsiOpenDatabaseW(<dir>\\a.msp, 32)",
        L"MsiGetSummaryInformationW(#3, null, 0)",
        L"MsiSummaryInfoGetPropertyW(#4, 7, count=0)",
        L"MsiSummaryInfoGetPropertyW(#4, 7, count=4)",
        L"MsiCloseHandle(#4)",
        L"MsiCloseHandle(#3)",
        L"MsiQueryProductStateW({A})",
        L"MsiGetProductInfoW({A}, LocalPackage, null, 0)",
        L"MsiGetProductInfoW({A}, LocalPackage, buffer, 29)",
        L"MsiGetSummaryInformationW(#0, C:\\Windows\\Installer\\{A}.msi, 0)",
        L"MsiSummaryInfoGetPropertyW(#5, 7, count=0)",
        L"MsiSummaryInfoGetPropertyW(#5, 7, count=11)",
        L"MsiCloseHandle(#5)",
        L"MsiQueryProductStateW({B})",
        L"MsiGetProductInfoW({B}, LocalPackage, null, 0)",
        L"MsiGetProductInfoW({B}, LocalPackage, buffer, 29)",
        L"MsiGetSummaryInformationW(#0, C:\\Windows\\Installer\\{B}.msi, 0)",
        L"MsiSummaryInfoGetPropertyW(#6, 7, count=0)",
        L"MsiSummaryInfoGetPropertyW(#6, 7, count=9)",
        L"MsiCloseHandle(#6)",
        L"MsiBeginTransactionW(CorvantileUpdater, 0)",
        L"MsiGetProductInfoW({B}, InstalledProductName, null, 0)",
        L"MsiGetProductInfoW({B}, InstalledProductName, buffer, 12)",
        L"MsiDeterminePatchSequenceW({B}, null, 4, 1, [<dir>\\both.msp type=0 order=-1 status=0])",
        L"MsiSetInternalUI(2, null)",
        L"MsiEnableLogW(0x1000, C:\\logs\\both.msp {B}.log, 0)",
        L"SendMessageW(0x1234, 0x8003, Installing update 'both.msp' for 'Name of {B}'., 0)",
        Apply(L"both.msp"),
        L"MsiGetProductInfoW({A}, InstalledProductName, null, 0)",
        L"MsiGetProductInfoW({A}, InstalledProductName, buffer, 12)",
        L"MsiDeterminePatchSequenceW({A}, null, 4, 2, [<dir>\\both.msp type=0 order=-1 status=0] "
        L"[<dir>\\a.msp type=0 order=-1 status=0])",
        L"MsiSetInternalUI(2, null)",
        L"MsiEnableLogW(0x1000, C:\\logs\\both.msp {A}.log, 0)",
        L"SendMessageW(0x1234, 0x8003, Installing update 'both.msp' for 'Name of {A}'., 0)",
        Apply(L"both.msp"),
        L"MsiEnableLogW(0x1000, C:\\logs\\a.msp {A}.log, 0)",
        L"SendMessageW(0x1234, 0x8003, Installing update 'a.msp' for 'Name of {A}'., 0)",
        Apply(L"a.msp"),
        L"MsiEndTransaction(1)",
    };
    EXPECT_EQ(expected, fake.calls);
    EXPECT_EQ((Lines{kExtracting, kDetermining, OrderLine(L"Name of {B}"), Installing(L"both.msp", L"Name of {B}"),
                     kSucceeded, OrderLine(L"Name of {A}"), Installing(L"both.msp", L"Name of {A}"), kSucceeded,
                     Installing(L"a.msp", L"Name of {A}"), kSucceeded, kCommitted}),
              outcome.log);
    EXPECT_TRUE(FileExists(fake.extractDir + L"\\both.msp"));
    EXPECT_TRUE(FileExists(fake.extractDir + L"\\a.msp"));
}

}  // namespace
}  // namespace corvantile
