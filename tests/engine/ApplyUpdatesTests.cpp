// The engine against a scripted Installer: the calls, arguments, order, log lines and results of a run.
#include "engine/ApplyUpdates.h"

#include "res/resource.h"
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
#include <type_traits>
#include <vector>

namespace corvantile {
namespace {

using namespace testing;
using namespace texts;
using Lines = std::vector<std::wstring>;
using Calls = std::vector<Call>;

const HWND kOwner = reinterpret_cast<HWND>(std::uintptr_t{0x1234});

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

// The calls as the fake records them, for the files of the test's package and the products it names.
std::wstring Handle(int handle) { return L"#" + std::to_wstring(handle); }
Call Open(const std::wstring& fileName) { return Call(L"MsiOpenDatabaseW", L"<dir>\\" + fileName, L"32"); }
Call PatchSummary(int database) { return Call(L"MsiGetSummaryInformationW", Handle(database), L"null", L"0"); }
Call PackageSummary(const std::wstring& code) {
    return Call(L"MsiGetSummaryInformationW", L"#0", L"C:\\Windows\\Installer\\" + code + L".msi", L"0");
}
Call Template(int summary, int countChars) {
    return Call(L"MsiSummaryInfoGetPropertyW", Handle(summary), L"7", std::to_wstring(countChars));
}
Call Close(int handle) { return Call(L"MsiCloseHandle", Handle(handle)); }
Call Query(const std::wstring& code) { return Call(L"MsiQueryProductStateW", code); }
// A probe without a buffer when countChars is 0, else the read.
Call Info(const std::wstring& code, const std::wstring& property, int countChars) {
    return Call(L"MsiGetProductInfoW", code, property, countChars == 0 ? L"null" : L"non-null",
                std::to_wstring(countChars));
}
Call Sequence(const std::wstring& code, const Lines& fileNames) {
    std::wstring patches;
    for (const std::wstring& fileName : fileNames) {
        patches += (patches.empty() ? L"[<dir>\\" : L" [<dir>\\") + fileName + L" type=0 order=-1 status=0]";
    }
    return Call(L"MsiDeterminePatchSequenceW", code, L"null", L"4", std::to_wstring(fileNames.size()), patches);
}
Call EnableLog(const std::wstring& path) { return Call(L"MsiEnableLogW", L"0x1000", path, L"0"); }
Call Status(const std::wstring& fileName, const std::wstring& productName) {
    return Call(L"ShowStatus", Installing(fileName, productName));
}
Call Apply(const std::wstring& fileName) {
    return Call(L"MsiApplyPatchW", L"<dir>\\" + fileName, L"null", L"0", L"REINSTALL=ALL REINSTALLMODE=omus");
}
const Call kBegin(L"MsiBeginTransactionW", L"CorvantileUpdater", L"0");
const Call kCommit(L"MsiEndTransaction", L"1");
const Call kRollback(L"MsiEndTransaction", L"0");
const Call kNoUi(L"MsiSetInternalUI", L"2", L"null");

// The installed name the fixture gives each product.
std::wstring Name(const std::wstring& code) { return L"Name of " + code; }
// A product and the patches applied to it, in the order applied.
struct ProductPatches {
    std::wstring code;
    Lines fileNames;
};
// The whole log of a run that updates these products in this order and commits.
Lines CommittedLog(std::initializer_list<ProductPatches> products) {
    Lines log{kExtracting, kDetermining};
    for (const auto& [code, fileNames] : products) {
        log.push_back(OrderLine(Name(code)));
        if (fileNames.empty()) log.push_back(L"No updates required.");
        for (const std::wstring& fileName : fileNames) {
            log.push_back(Installing(fileName, Name(code)));
            log.push_back(kSucceeded);
        }
    }
    log.push_back(kCommitted);
    return log;
}

// The steps of a run, as calls and log lines. A patch read for the catalogue: its database and summary
// opened, the template probed and read, both closed, the summary first.
Calls ReadPatch(const std::wstring& fileName, int database, int countChars) {
    return {Open(fileName),      PatchSummary(database), Template(database + 1, 0), Template(database + 1, countChars),
            Close(database + 1), Close(database)};
}
// A product's state and the platform of its installed package.
Calls ReadPackage(const std::wstring& code, int summary, int countChars) {
    return {Query(code),          Info(code, L"LocalPackage", 0), Info(code, L"LocalPackage", 29),
            PackageSummary(code), Template(summary, 0),           Template(summary, countChars),
            Close(summary)};
}
// A product's installed name read and its patches sequenced.
Calls Sequenced(const std::wstring& code, const Lines& fileNames) {
    return {Info(code, L"InstalledProductName", 0),
            Info(code, L"InstalledProductName", static_cast<int>(Name(code).size()) + 1),
            LogLine(OrderLine(Name(code))), Sequence(code, fileNames)};
}
// A patch applied to a product, with the Installer's log in C:\logs.
Calls Applied(const std::wstring& fileName, const std::wstring& code) {
    return {EnableLog(L"C:\\logs\\" + fileName + L" " + code + L".log"), LogLine(Installing(fileName, Name(code))),
            Status(fileName, Name(code)), Apply(fileName), LogLine(kSucceeded)};
}
Calls Join(std::initializer_list<Calls> parts) {
    Calls all;
    for (const Calls& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

// The calls after the first that equals `call`.
Calls After(const Calls& calls, const Call& call) {
    const auto found = std::find(calls.begin(), calls.end(), call);
    EXPECT_TRUE(found != calls.end()) << "no " << ::testing::PrintToString(call);
    return found == calls.end() ? Calls{} : Calls(found + 1, calls.end());
}

// The tables of cases below: each case is named by its first field, in the test's name and in a failure.
template <typename Case>
requires std::is_same_v<decltype(Case::name), const char*>
void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }
template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& info) {
    return info.param.name;
}

// Compared whole, so that a test states the result, the exit code and every log line of its run at once.
struct RunOutcome {
    int result = -1;
    std::uint32_t exitCode = 0;  // what the process would end with
    Lines log;
    bool operator==(const RunOutcome&) const = default;
};
void PrintTo(const RunOutcome& outcome, std::ostream* out) {
    *out << "result " << outcome.result << ", exit code " << outcome.exitCode << ", log "
         << ::testing::PrintToString(outcome.log);
}

// One fixture builds the package, scripts the Installer and runs the engine; it checks after every test
// that each Installer handle was closed once, and each transaction ended once and never closed after that.
class Engine : public ::testing::Test {
protected:
    FakeInstaller fake;
    std::wstring logDirectory;
    HWND owner = kOwner;
    HINSTANCE strings = UpdaterStrings();
    const InstallerApi* (*loadInstaller)() = &FakeInstaller::Load;

    FakePatch& Patch(const std::wstring& fileName, const std::wstring& targets) {
        files_.push_back({fileName, PatchLikeData(64 + files_.size(), static_cast<std::uint32_t>(files_.size()))});
        FakePatch& patch = fake.patches[fileName];
        patch.targets = targets;
        return patch;
    }

    FakeProduct& Product(const std::wstring& code, const std::wstring& packageTemplate = L"x64;1033") {
        FakeProduct& product = fake.products[code];
        product.packageTemplate = packageTemplate;
        product.installedName = Name(code);
        return product;
    }

    // The commonest set-up: one patch for one installed product.
    void PatchOneProduct() {
        Patch(L"a.msp", L"{A}");
        Product(L"{A}");
    }

    RunOutcome Run() { return Run(BuildPackage(files_)); }
    RunOutcome Run(const Bytes& package) { return Run(package, (scratch_ / L"work").c_str()); }
    RunOutcome Run(const Bytes& package, const wchar_t* extractDir) {
        CraftedUpdater updater(scratch_.path(), package);
        EXPECT_TRUE(updater.headerRead());
        fake.extractDir = scratch_ / L"work";
        const EngineContext context{loadInstaller, &updater.package(), logDirectory, strings, IDS_INSTALLING_UPDATE};
        const LogCapture log;
        fake.RecordLogLines();
        RunOutcome outcome;
        UpdateOutcome updateOutcome;
        // The status line and the restart question's owner are the dialog's: both or neither.
        outcome.result = ApplyUpdates(context, extractDir, owner, owner != nullptr ? &fake : nullptr, updateOutcome);
        outcome.exitCode = UpdateExitCode(outcome.result, updateOutcome);
        outcome.log = log.Lines();
        return outcome;
    }

    void TearDown() override {
        EXPECT_EQ(Lines{}, fake.HandleFaults()) << "each handle closed once, each transaction ended once";
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
    EXPECT_EQ((RunOutcome{1, 1, {}}), Run(BuildPackage(files()), nullptr));
    EXPECT_EQ((RunOutcome{1, 1, {}}), Run(BuildPackage(files()), L""));
    EXPECT_EQ(Calls{}, fake.calls);
}

TEST_F(Engine, InstallerThatCannotBeLoadedStopsBeforeExtraction) {
    Patch(L"a.msp", L"{A}");
    loadInstaller = []() -> const InstallerApi* { return nullptr; };
    EXPECT_EQ((RunOutcome{1, 1, {L"Failed to load the Windows Installer."}}), Run());
    EXPECT_FALSE(PathExists(scratch() / L"work"));
}

TEST_F(Engine, FailedExtractionStopsBeforeTheInstaller) {
    Patch(L"a.msp", L"{A}");
    const Bytes package = BuildPackage(files());
    EXPECT_EQ((RunOutcome{1, 1, {kExtracting, L"Failed to extract update."}}),
              Run(Prefix(package, package.size() - 1)));
    EXPECT_EQ(Calls{}, fake.calls);
}

TEST_F(Engine, SemicolonInAPatchPathStopsBeforeTheInstaller) {
    Patch(L"a.msp", L"{A}");
    Patch(L"b;c.msp", L"{A}");
    Product(L"{A}");
    EXPECT_EQ((RunOutcome{1, 1, {kExtracting, L"Update file path contains a semicolon."}}), Run());
    EXPECT_EQ(Calls{}, fake.calls);
}

TEST_F(Engine, PatchPathBeyondMaxPathStopsBeforeTheInstaller) {
    PatchOneProduct();
    const std::wstring work = scratch() / L"work";
    // One character more than fits: the directory, a backslash, the name and its NUL in 260 characters.
    Patch(std::wstring(260 - work.size() - 1 - 1 + 1 - 4, L'n') + L".msp", L"{A}");
    EXPECT_EQ((RunOutcome{1, 1, {kExtracting, L"Update file path too long."}}), Run());
    EXPECT_EQ(Calls{}, fake.calls);
}

// ---- The catalogue: a patch that cannot be read ends the run there ----

struct PatchFailure {
    const char* name;
    UINT FakePatch::*step;  // the third patch's step that gives `result`
    UINT result;
    // The calls made for the third patch, handles numbered as the run gives them.
    Calls thirdPatchCalls;
};

class EngineCatalogueFailure : public Engine, public ::testing::WithParamInterface<PatchFailure> {};

TEST_P(EngineCatalogueFailure, ThirdOfFiveStopsTheRunWithoutALogLine) {
    for (int i = 1; i <= 5; ++i) Patch(L"p" + std::to_wstring(i) + L".msp", L"{A}");
    Product(L"{A}");
    fake.patches[L"p3.msp"].*GetParam().step = GetParam().result;
    EXPECT_EQ((RunOutcome{1, 1, {kExtracting}}), Run());
    // Two patches read whole, then the third as far as it gets.
    EXPECT_EQ(Join({ReadPatch(L"p1.msp", 1, 4), ReadPatch(L"p2.msp", 3, 4), GetParam().thirdPatchCalls}), fake.calls);
}

// clang-format off
const PatchFailure kPatchFailures[] = {
    {"OpenFails", &FakePatch::openResult, ERROR_OPEN_FAILED, {Open(L"p3.msp")}},
    {"SummaryFails", &FakePatch::summaryResult, ERROR_INSTALL_PACKAGE_INVALID, {Open(L"p3.msp"), PatchSummary(5), Close(5)}},
    {"ProbeGivesSuccessInsteadOfMoreData", &FakePatch::templateProbeResult, ERROR_SUCCESS,
     {Open(L"p3.msp"), PatchSummary(5), Template(6, 0), Close(6), Close(5)}},
    {"TemplateReadFails", &FakePatch::templateReadResult, ERROR_FUNCTION_FAILED,
     {Open(L"p3.msp"), PatchSummary(5), Template(6, 0), Template(6, 4), Close(6), Close(5)}},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Steps, EngineCatalogueFailure, ::testing::ValuesIn(kPatchFailures), CaseName<PatchFailure>);

// ---- The catalogue: which products, in which groups and order ----

TEST_F(Engine, EmptyTableStillOpensAndCommitsTheTransaction) {
    EXPECT_EQ((RunOutcome{0, 0, {kExtracting, kDetermining, kCommitted}}), Run());
    EXPECT_EQ((Calls{kBegin, kCommit}), fake.calls);
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

    EXPECT_EQ(0, Run().result);
    EXPECT_EQ((Lines{L"", L" {B}", L"{1}", L"{A}", L"{A}x", L"{Z}", L"{a}"}),
              fake.Args(L"MsiQueryProductStateW", L"productCode"));
    EXPECT_EQ((Calls{Sequence(L"", {L"e.msp", L"f.msp"}), Sequence(L" {B}", {L"b.msp"}),
                     Sequence(L"{1}", {L"b.msp", L"e.msp"}), Sequence(L"{a}", {L"a.msp", L"f.msp"}),
                     Sequence(L"{A}", {L"a.msp", L"b.msp", L"d.msp", L"d.msp"}), Sequence(L"{A}x", {L"a.msp"})}),
              fake.Calls({L"MsiDeterminePatchSequenceW"}));
    EXPECT_EQ(Apply(L"e.msp"), fake.Calls({L"MsiApplyPatchW"}).at(0)) << "the empty code is updated";
}

// Only INSTALLSTATE_DEFAULT is installed: any other state skips the product without a line.
class EngineProductState : public Engine, public ::testing::WithParamInterface<INSTALLSTATE> {};

TEST_P(EngineProductState, OtherThanDefaultSkipsTheProductSilently) {
    Patch(L"a.msp", L"{A};{B}");
    Product(L"{A}").state = GetParam();
    Product(L"{B}");
    EXPECT_EQ((RunOutcome{0, 0, CommittedLog({{L"{B}", {L"a.msp"}}})}), Run());
    const Lines read = fake.Args(L"MsiGetProductInfoW", L"productCode");
    EXPECT_EQ(0, std::count(read.begin(), read.end(), L"{A}"));
}

INSTANTIATE_TEST_SUITE_P(Steps, EngineProductState,
                         ::testing::Values(INSTALLSTATE_INVALIDARG, INSTALLSTATE_UNKNOWN, INSTALLSTATE_BROKEN,
                                           INSTALLSTATE_ADVERTISED, INSTALLSTATE_ABSENT, INSTALLSTATE_LOCAL,
                                           INSTALLSTATE_SOURCE));

struct PackageFailure {
    const char* name;
    UINT FakeProduct::*step;  // the second product's step that gives `result`
    UINT result;
    Calls secondProductCalls;  // after its state query
};

class EngineInstalledPackageFailure : public Engine, public ::testing::WithParamInterface<PackageFailure> {};

TEST_P(EngineInstalledPackageFailure, EndsTheRunBeforeTheTransaction) {
    Patch(L"a.msp", L"{1};{2};{3}");
    Product(L"{1}");
    Product(L"{2}");
    Product(L"{3}");
    fake.products[L"{2}"].*GetParam().step = GetParam().result;
    EXPECT_EQ((RunOutcome{1, 1, {kExtracting, kDetermining}}), Run());
    EXPECT_EQ(GetParam().secondProductCalls, After(fake.calls, Query(L"{2}"))) << "and nothing after them";
}

const Call kPackageProbe = Info(L"{2}", L"LocalPackage", 0);
const Call kPackageRead = Info(L"{2}", L"LocalPackage", 29);
const Call kPackageSummary = PackageSummary(L"{2}");

// clang-format off
const PackageFailure kPackageFailures[] = {
    {"LocalPackageMissing", &FakeProduct::localPackageProbeResult, ERROR_UNKNOWN_PROPERTY, {kPackageProbe}},
    {"LocalPackageReadFails", &FakeProduct::localPackageReadResult, ERROR_FUNCTION_FAILED, {kPackageProbe, kPackageRead}},
    {"PackageSummaryUnreadable", &FakeProduct::packageSummaryResult, ERROR_OPEN_FAILED,
     {kPackageProbe, kPackageRead, kPackageSummary}},
    {"PackageProbeGivesSuccess", &FakeProduct::packageTemplateProbeResult, ERROR_SUCCESS,
     {kPackageProbe, kPackageRead, kPackageSummary, Template(4, 0), Close(4)}},
    {"PackageTemplateReadFails", &FakeProduct::packageTemplateReadResult, ERROR_FUNCTION_FAILED,
     {kPackageProbe, kPackageRead, kPackageSummary, Template(4, 0), Template(4, 9), Close(4)}},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Steps, EngineInstalledPackageFailure, ::testing::ValuesIn(kPackageFailures),
                         CaseName<PackageFailure>);

// ---- One product: its order, its lines, its results ----

TEST_F(Engine, AppliesByOrderValueThenArrayOrderSkippingTheRest) {
    for (int i = 0; i < 6; ++i) Patch(L"p" + std::to_wstring(i) + L".msp", L"{A}");
    // Ties, a gap, a superseded patch (order -1, status 0) and one that does not apply at order 1.
    Product(L"{A}").sequence = {{2, 0}, {0, 0}, {-1, 0}, {2, 0}, {1, ERROR_PATCH_TARGET_NOT_FOUND}, {4, 0}};
    logDirectory = L"C:\\logs\\";
    const Lines applied = {L"p1.msp", L"p0.msp", L"p3.msp", L"p5.msp"};
    EXPECT_EQ((RunOutcome{0, 0, CommittedLog({{L"{A}", applied}})}), Run());
    // Each applied patch: its Installer log, its status line and the patch.
    Calls perPatch;
    for (const std::wstring& fileName : applied) {
        perPatch.insert(perPatch.end(), {EnableLog(L"C:\\logs\\" + fileName + L" {A}.log"),
                                         Status(fileName, Name(L"{A}")), Apply(fileName)});
    }
    EXPECT_EQ(perPatch, fake.Calls({L"MsiEnableLogW", L"ShowStatus", L"MsiApplyPatchW"}));
    EXPECT_EQ(Calls{kNoUi}, fake.Calls({L"MsiSetInternalUI"}));
}

TEST_F(Engine, ProductWithNothingToApplyIsNoFailure) {
    Patch(L"a.msp", L"{1};{2}");
    Patch(L"b.msp", L"{1}");
    Product(L"{1}").sequence = {{-1, 0}, {0, ERROR_PATCH_TARGET_NOT_FOUND}};
    Product(L"{2}");
    EXPECT_EQ((RunOutcome{0, 0, CommittedLog({{L"{1}", {}}, {L"{2}", {L"a.msp"}}})}), Run());
    // The Installer's UI level is set once per product with work, after its sequencing and before its first
    // patch.
    EXPECT_EQ((Calls{Sequence(L"{1}", {L"a.msp", L"b.msp"}), Sequence(L"{2}", {L"a.msp"}), kNoUi,
                     Status(L"a.msp", Name(L"{2}")), Apply(L"a.msp")}),
              fake.Calls({L"MsiDeterminePatchSequenceW", L"MsiSetInternalUI", L"ShowStatus", L"MsiApplyPatchW"}));
}

struct NameCase {
    const char* name;
    std::optional<std::wstring> installedName;  // none: both reads fail
    UINT secondReadResult;
    const wchar_t* shown;
};

class EngineDisplayName : public Engine, public ::testing::WithParamInterface<NameCase> {};

TEST_P(EngineDisplayName, IsTheInstalledNameAsReadElseTheProductCode) {
    Patch(L"a.msp", L"{A}");
    FakeProduct& product = Product(L"{A}");
    product.installedName = GetParam().installedName;
    product.installedNameReadResult = GetParam().secondReadResult;
    const RunOutcome outcome = Run();
    EXPECT_EQ(0, outcome.result);
    EXPECT_EQ(OrderLine(GetParam().shown), outcome.log.at(2));
    EXPECT_EQ(Lines{Installing(L"a.msp", GetParam().shown)}, fake.Args(L"ShowStatus", L"text"));
}

// clang-format off
const NameCase kNameCases[] = {
    {"Unreadable", std::nullopt, ERROR_SUCCESS, L"{A}"},
    {"SecondReadFails", Name(L"{A}"), ERROR_FUNCTION_FAILED, L"{A}"},
    {"EmptyIsKept", L"", ERROR_SUCCESS, L""},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Steps, EngineDisplayName, ::testing::ValuesIn(kNameCases), CaseName<NameCase>);

TEST_F(Engine, MissingStatusStringGivesAnEmptyStatusLine) {
    PatchOneProduct();
    strings = GetModuleHandleW(nullptr);  // this test program has no string table
    EXPECT_EQ((RunOutcome{0, 0, {kExtracting, kDetermining, OrderLine(Name(L"{A}")), L"", kSucceeded, kCommitted}}),
              Run());
    EXPECT_EQ(Lines{L""}, fake.Args(L"ShowStatus", L"text"));
}

// Each line is written before the call it announces, so that a call that hangs or crashes follows its line.
struct LineCase {
    const char* name;
    void (*script)(FakeInstaller&);
    std::wstring line;
    const wchar_t* function;
};

class EngineLineBeforeCall : public Engine, public ::testing::WithParamInterface<LineCase> {};

TEST_P(EngineLineBeforeCall, ComesBeforeTheFirstSuchCall) {
    PatchOneProduct();
    GetParam().script(fake);
    (void)Run();
    const Calls events = fake.Events();
    const auto line = std::find(events.begin(), events.end(), LogLine(GetParam().line));
    const auto call = std::find_if(events.begin(), events.end(),
                                   [](const Call& event) { return event.function == GetParam().function; });
    ASSERT_NE(events.end(), line);
    ASSERT_NE(events.end(), call);
    EXPECT_LT(line, call);
}

void NoScript(FakeInstaller&) {}

// clang-format off
const LineCase kLineCases[] = {
    {"DeterminingBeforeTheFirstQuery", NoScript, kDetermining, L"MsiQueryProductStateW"},
    {"OrderLineBeforeSequencing", NoScript, OrderLine(Name(L"{A}")), L"MsiDeterminePatchSequenceW"},
    {"OrderLineBeforeFailingSequencing", [](FakeInstaller& f) { f.products[L"{A}"].sequenceResult = ERROR_FUNCTION_FAILED; },
     OrderLine(Name(L"{A}")), L"MsiDeterminePatchSequenceW"},
    {"StatusLineBeforeApply", NoScript, Installing(L"a.msp", Name(L"{A}")), L"MsiApplyPatchW"},
    {"RestartLineBeforeTheQuestion", [](FakeInstaller& f) { f.applyResults[L"a.msp"] = {ERROR_SUCCESS_REBOOT_REQUIRED}; },
     kRebootLine, L"MessageBoxW"},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Steps, EngineLineBeforeCall, ::testing::ValuesIn(kLineCases), CaseName<LineCase>);

TEST_F(Engine, FailedSequencingFailsWithoutALineOfItsOwn) {
    Patch(L"a.msp", L"{A};{B}");
    Product(L"{A}").sequenceResult = ERROR_UNKNOWN_PRODUCT;
    Product(L"{B}");
    EXPECT_EQ((RunOutcome{1, ERROR_UNKNOWN_PRODUCT, {kExtracting, kDetermining, OrderLine(Name(L"{A}"))}}), Run());
    EXPECT_EQ(Calls{}, fake.Calls({L"MsiApplyPatchW"}));
    EXPECT_EQ(Calls{kRollback}, fake.Calls({L"MsiEndTransaction"})) << "rolled back";
}

TEST_F(Engine, FailedPatchRollsTheTransactionBack) {
    Patch(L"p1.msp", L"{1}");
    Patch(L"p2.msp", L"{1}");
    Patch(L"p3.msp", L"{1}");
    Patch(L"other.msp", L"{2}");
    Product(L"{1}");
    Product(L"{2}", L"Intel;1033");
    fake.applyResults[L"p2.msp"] = {ERROR_INSTALL_FAILURE};
    EXPECT_EQ((RunOutcome{1, 1603,
                          Lines{kExtracting, kDetermining, OrderLine(Name(L"{1}")), Installing(L"p1.msp", Name(L"{1}")),
                                kSucceeded, Installing(L"p2.msp", Name(L"{1}")), ApplyFailed(1603)}}),
              Run());
    EXPECT_EQ((Calls{Apply(L"p1.msp"), Apply(L"p2.msp")}), fake.Calls({L"MsiApplyPatchW"}));
    EXPECT_EQ(kRollback, fake.calls.back()) << "rolled back at once, and its handle left alone";
}

TEST_F(Engine, RestartInitiatedByAPatchCountsAsFailure) {
    PatchOneProduct();
    fake.applyResults[L"a.msp"] = {ERROR_SUCCESS_REBOOT_INITIATED};
    const RunOutcome outcome = Run();
    EXPECT_EQ(1, outcome.result);
    EXPECT_EQ(1641u, outcome.exitCode) << "the machine is restarting: the deployment tool must know";
    EXPECT_EQ(ApplyFailed(1641), outcome.log.back());
}

TEST_F(Engine, InstallerLogPerPatchOnlyWhenLogging) {
    Patch(L"Example_x64_KB0000001.msp", L"{A}");
    Product(L"{A}");
    logDirectory = L"C:\\logs\\";
    EXPECT_EQ(0, Run().result);
    EXPECT_EQ(Calls{EnableLog(L"C:\\logs\\Example_x64_KB0000001.msp {A}.log")}, fake.Calls({L"MsiEnableLogW"}));
}

TEST_F(Engine, NoInstallerLogWithoutLogging) {
    PatchOneProduct();
    EXPECT_EQ(0, Run().result);
    EXPECT_EQ(Calls{}, fake.Calls({L"MsiEnableLogW"}));
    EXPECT_EQ(1u, fake.Calls({L"MsiApplyPatchW"}).size());
}

TEST_F(Engine, LongStatusTextIsCutToFitInLogAndDialog) {
    const std::wstring fileName = std::wstring(100, L'f') + L".msp";
    Patch(fileName, L"{A}");
    Product(L"{A}").installedName = std::wstring(400, L'n');
    const RunOutcome outcome = Run();
    EXPECT_EQ(0, outcome.result);
    const std::wstring expected = Installing(fileName, std::wstring(400, L'n')).substr(0, 511);
    EXPECT_EQ(Lines{expected}, fake.Args(L"ShowStatus", L"text"));
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
    Calls transactionCalls;  // begins, applies, ends and waits, in order
    int waits;
};

const Call kWait(L"Sleep", L"5000");
constexpr wchar_t kWaitLine[] = L"Another installation is in progress. Waiting before trying again.";

class EngineBusyInstaller : public Engine, public ::testing::WithParamInterface<BusyCase> {};

TEST_P(EngineBusyInstaller, WaitsAndTriesTheTransactionAgain) {
    const BusyCase& c = GetParam();
    PatchOneProduct();
    fake.beginResults = c.beginResults;
    fake.applyResults[L"a.msp"] = c.applyResults;
    const RunOutcome outcome = Run();
    EXPECT_EQ(c.result, outcome.result);
    EXPECT_EQ(c.exitCode, outcome.exitCode);
    EXPECT_EQ(c.transactionCalls,
              fake.Calls({L"MsiBeginTransactionW", L"MsiApplyPatchW", L"MsiEndTransaction", L"Sleep"}));
    EXPECT_EQ(static_cast<std::ptrdiff_t>(c.waits), std::count(outcome.log.begin(), outcome.log.end(), kWaitLine));
}

// clang-format off
const BusyCase kBusyCases[] = {
    {"BusyBusyFree", {1618, 1618}, {}, 0, 0, {kBegin, kWait, kBegin, kWait, kBegin, Apply(L"a.msp"), kCommit}, 2},
    {"BusyThroughout", {1618, 1618, 1618, 0}, {}, 1, 1618, {kBegin, kWait, kBegin, kWait, kBegin}, 2},
    {"PatchMeetsABusyInstaller", {}, {1618}, 0, 0,
     {kBegin, Apply(L"a.msp"), kRollback, kWait, kBegin, Apply(L"a.msp"), kCommit}, 1},
    {"OtherFailureIsNotTriedAgain", {ERROR_INSTALL_FAILURE}, {}, 1, 1603, {kBegin}, 0},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Tries, EngineBusyInstaller, ::testing::ValuesIn(kBusyCases), CaseName<BusyCase>);

TEST_F(Engine, FailedCommitAfterARestartRequestAsksNothing) {
    PatchOneProduct();
    fake.applyResults[L"a.msp"] = {ERROR_SUCCESS_REBOOT_REQUIRED};
    fake.endResult = ERROR_INSTALL_FAILURE;
    EXPECT_EQ((RunOutcome{1, 1603,
                          Lines{kExtracting, kDetermining, OrderLine(Name(L"{A}")), Installing(L"a.msp", Name(L"{A}")),
                                kSucceeded, L"Committing MSI transaction failed."}}),
              Run());
    EXPECT_EQ(Calls{}, fake.Calls({L"MessageBoxW"}));
    EXPECT_EQ(kCommit, fake.calls.back()) << "ended once, its handle left alone";
}

struct RestartCase {
    const char* name;
    std::vector<UINT> applyResults;  // for the x64 product's patch, then the other product's
    UINT commitResult;
    bool withOwner;
    // The answer, the window station's flags and the restart's results, those not given as FakeRestart has them.
    FakeRestart restart;
    bool rebootLine;
    Calls restartCalls;  // after the commit
    std::uint32_t exitCode;
};

const Call kStation(L"GetProcessWindowStation");
const Call kStationQuery(L"GetUserObjectInformationW", L"station", L"1", std::to_wstring(sizeof(USEROBJECTFLAGS)));
const Call kQuestion(L"MessageBoxW", L"0x1234", kRestartQuestion, kRestartCaption, L"4");
const Call kOpenToken(L"OpenProcessToken", L"current process", L"0x28");
const Call kLookUpPrivilege(L"LookupPrivilegeValueW", L"null", L"SeShutdownPrivilege");
const Call kCloseToken(L"CloseHandle", L"token");
const Call kRestart(L"ExitWindowsEx", L"0x2", L"0x80040001");
const Call kEnablePrivilege(L"AdjustTokenPrivileges", L"token", L"0", L"{luid=19 attributes=2}", L"0", L"null",
                            L"null");
const Calls kFullRestart = {kStation,         kStationQuery,    kQuestion,   kOpenToken,
                            kLookUpPrivilege, kEnablePrivilege, kCloseToken, kRestart};

const Calls kAsked = {kStation, kStationQuery, kQuestion};

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
    fake.restart = c.restart;
    if (!c.withOwner) owner = nullptr;

    Lines log = CommittedLog({{L"{1}", {L"x64.msp"}}, {L"{2}", {L"x86.msp"}}});
    if (c.rebootLine) log.push_back(kRebootLine);
    if (!c.restart.exitWindowsResult) log.push_back(L"Requesting the reboot failed.");
    EXPECT_EQ((RunOutcome{0, c.exitCode, log}), Run());
    EXPECT_EQ(c.restartCalls, After(fake.calls, kCommit));
    // Without a window nothing is sent either; the log still names each patch.
    EXPECT_EQ(c.withOwner ? 2u : 0u, fake.Calls({L"ShowStatus"}).size());
}

// One case a row.
// clang-format off
const RestartCase kRestartCases[] = {
    {"NothingNeedsARestart", {0, 0}, 0, true, {IDYES}, false, {}, 0},
    {"X64ProductAsksOtherDoesNotYes", {3010, 0}, 0, true, {IDYES}, true, kFullRestart, 1641},
    {"AnsweredNo", {0, 3010}, 0, true, {IDNO}, true, kAsked, 3010},
    {"NoWindowNoQuestion", {3010, 0}, 0, false, {IDYES}, true, {}, 3010},
    {"NobodyCanSeeTheQuestion", {3010, 0}, 0, true, {IDYES, 0}, true, {kStation, kStationQuery}, 3010},
    {"StationUnknownStillAsks", {3010, 0}, 0, true, {IDNO, std::nullopt}, true, kAsked, 3010},
    {"TokenCannotBeOpened", {3010, 0}, 0, true, {IDYES, WSF_VISIBLE, FALSE}, true,
     {kStation, kStationQuery, kQuestion, kOpenToken, kRestart}, 1641},
    {"PrivilegeUnknown", {3010, 0}, 0, true, {IDYES, WSF_VISIBLE, TRUE, FALSE}, true,
     {kStation, kStationQuery, kQuestion, kOpenToken, kLookUpPrivilege, kCloseToken, kRestart}, 1641},
    {"WindowsRefusesTheRestart", {3010, 0}, 0, true, {IDYES, WSF_VISIBLE, TRUE, TRUE, FALSE}, true, kFullRestart, 3010},
    {"CommitNeedsARestart", {0, 0}, 3010, true, {IDNO}, true, kAsked, 3010},
    {"CommitStartedARestart", {3010, 0}, 1641, true, {IDYES}, true, {}, 1641},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(Outcomes, EngineRestart, ::testing::ValuesIn(kRestartCases), CaseName<RestartCase>);

TEST_F(Engine, RebootRequiredThenSuccessBothApplied) {
    Patch(L"a.msp", L"{A}");
    Patch(L"b.msp", L"{A}");
    Product(L"{A}");
    fake.applyResults[L"a.msp"] = {ERROR_SUCCESS_REBOOT_REQUIRED};
    Lines log = CommittedLog({{L"{A}", {L"a.msp", L"b.msp"}}});
    log.push_back(kRebootLine);
    EXPECT_EQ((RunOutcome{0, 3010, log}), Run()) << "asked, and answered no";
}

// ---- One run, call by call ----

// The one test of a whole run's transcript: every call and log line, in order.
TEST_F(Engine, WholeCallSequenceOfOneRun) {
    Patch(L"both.msp", L"{B};{A}");
    Patch(L"a.msp", L"{A}");
    Product(L"{A}", L"Intel;1033");
    Product(L"{B}", L"x64;1033");
    logDirectory = L"C:\\logs\\";
    EXPECT_EQ(0, Run().result);
    const Calls expected = Join({
        {LogLine(kExtracting)},
        ReadPatch(L"both.msp", 1, 8),
        ReadPatch(L"a.msp", 3, 4),
        {LogLine(kDetermining)},
        ReadPackage(L"{A}", 5, 11),
        ReadPackage(L"{B}", 6, 9),
        {kBegin},
        Sequenced(L"{B}", {L"both.msp"}),
        {kNoUi},
        Applied(L"both.msp", L"{B}"),
        Sequenced(L"{A}", {L"both.msp", L"a.msp"}),
        {kNoUi},
        Applied(L"both.msp", L"{A}"),
        Applied(L"a.msp", L"{A}"),
        {kCommit, LogLine(kCommitted)},
    });
    // As text, so that a failure shows the difference line by line.
    EXPECT_EQ(Transcript(expected), Transcript(fake.Events()));
    EXPECT_TRUE(FileExists(fake.extractDir + L"\\both.msp"));
    EXPECT_TRUE(FileExists(fake.extractDir + L"\\a.msp"));
}

}  // namespace
}  // namespace corvantile
