// The shipped updater doing real updates: CorvantileUpdater.exe packed by corvantile-pack.exe with the fixture
// patches, started as its own process in a copy of the baseline prefix (both fixture products installed), and
// driven from outside through its windows as a user would, or left alone in a silent run. Each case checks
// what a user or a deployment script sees: the dialog's texts and buttons, the boxes, the exit code, the logs,
// the installed files, and what stays behind in the temporary directory.
#include "CorvantileVersion.h"
#include "res/resource.h"
#include "tests/blackbox/UpdaterTest.h"
#include "tests/engine/installer/Fixtures.h"

#include <windows.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <vector>

#define CORVANTILE_WIDEN_(text) L##text
#define CORVANTILE_WIDEN(text) CORVANTILE_WIDEN_(text)

namespace corvantile::blackbox {

namespace {

using namespace fixtures;

// The names of the user's temporary directory's subdirectories that look like a GUID's text form (hex digits
// in groups of 8-4-4-4-12): the updater's working directories.
std::set<std::wstring> GuidDirectoriesInTemp() {
    static const std::wregex guid(L"[[:xdigit:]]{8}(-[[:xdigit:]]{4}){3}-[[:xdigit:]]{12}");
    std::set<std::wstring> names;
    ForEachEntry(UserTempDirectory(), L"*", [&names](const WIN32_FIND_DATAW& entry) {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && std::regex_match(entry.cFileName, guid)) {
            names.emplace(entry.cFileName);
        }
    });
    return names;
}

// Runs in "work" of the black-box tests' tree, with the logs in "work\logs".
class RealUpdate : public UpdaterTest {
protected:
    void SetUp() override {
        UpdaterTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(MakeWorkDirectories({L"logs"}));
        tempBefore_ = GuidDirectoriesInTemp();
    }

    // The runner: starts the updater with these arguments in "work", to be driven by the test.
    std::unique_ptr<ProcessDriver> Start(const std::wstring& updater, const std::vector<std::wstring>& arguments,
                                         const EnvironmentChanges& environment = {}) {
        auto driver = std::make_unique<ProcessDriver>(LaunchRequest{updater, arguments, WorkDirectory(), environment});
        EXPECT_TRUE(driver->Started()) << driver->Describe();
        return driver;
    }

    // An interactive run of these patches up to its progress dialog, checked in the state before OK, then OK
    // pressed: the run has been asked to start. Null when any of that failed.
    HWND StartInteractiveAndPressOk(const std::vector<std::wstring>& patches) {
        const std::wstring updater = PackUpdater(InRoot(L"Update.exe"), patches);
        if (updater.empty()) return nullptr;
        driver_ = Start(updater, {});
        const HWND dialog = driver_->WaitForProgressDialog();
        EXPECT_NE(dialog, nullptr) << driver_->Describe();
        if (dialog == nullptr) return nullptr;
        EXPECT_EQ(ItemText(dialog, IDC_STATUS_TEXT), kReady);
        EXPECT_TRUE(ItemEnabled(dialog, IDOK));
        EXPECT_TRUE(ItemEnabled(dialog, IDCANCEL));
        if (!Press(dialog, IDOK)) {
            ADD_FAILURE() << "cannot press OK: " << driver_->Describe();
            return nullptr;
        }
        return dialog;
    }

    // The updater ends with this exit code; fatal when it does not end.
    void ExpectExit(DWORD expectedExitCode) {
        const std::optional<DWORD> exitCode = driver_->WaitForExit();
        ASSERT_TRUE(exitCode.has_value()) << driver_->Describe();
        EXPECT_EQ(*exitCode, expectedExitCode) << driver_->Describe();
    }

    // The end of a successful interactive run: the outcome shown, Cancel turned into an enabled Close that
    // ends the process with this exit code.
    void ExpectFinishedAndClose(HWND dialog, DWORD expectedExitCode = 0) {
        ASSERT_TRUE(driver_->WaitForStatusText(dialog, kFinished)) << driver_->Describe();
        EXPECT_EQ(ItemText(dialog, IDCANCEL), kClose);
        EXPECT_TRUE(ItemEnabled(dialog, IDCANCEL));
        EXPECT_FALSE(ItemEnabled(dialog, IDOK)) << "a run is not started twice";
        ASSERT_TRUE(Press(dialog, IDCANCEL));
        ASSERT_NO_FATAL_FAILURE(ExpectExit(expectedExitCode));
    }

    [[nodiscard]] std::wstring LogDirectory() const { return InWork(L"logs"); }

    std::set<std::wstring> tempBefore_;
    std::unique_ptr<ProcessDriver> driver_;
};

// ---- Interactive runs: OK starts, the outcome is shown, Close ends ----

using InteractiveUpdate = RealUpdate;

TEST_F(InteractiveUpdate, OkPatchesBothProductsThenCloseEndsWithExitCodeZero) {
    const HWND dialog = StartInteractiveAndPressOk({L"PatchX64.msp", L"PatchX86.msp"});
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(driver_->WaitForStatusText(dialog, kFinished)) << driver_->Describe();

    ExpectBothProductsPatched();
    // Until the dialog ends, its working directory holds the extracted patches.
    std::set<std::wstring> working = GuidDirectoriesInTemp();
    std::erase_if(working, [this](const std::wstring& name) { return tempBefore_.contains(name); });
    ASSERT_EQ(working.size(), 1u) << "one new working directory in TEMP";
    EXPECT_EQ(ListTree(UserTempDirectory() + *working.begin()), (Lines{L"PatchX64.msp", L"PatchX86.msp"}));

    ExpectFinishedAndClose(dialog);
    EXPECT_EQ(GuidDirectoriesInTemp(), tempBefore_) << "the working directory is removed with the dialog";
    EXPECT_EQ(driver_->StatusTexts(), (Lines{kReady, kApplying, Installing(L"PatchX64.msp", "x64"),
                                             Installing(L"PatchX86.msp", "x86"), kFinished}))
        << driver_->Describe();
    EXPECT_TRUE(driver_->Boxes().empty()) << driver_->Describe();
}

TEST_F(InteractiveUpdate, RestartQuestionAnsweredNoLetsTheRunFinish) {
    const HWND dialog = StartInteractiveAndPressOk({L"PatchReboot.msp"});
    ASSERT_NE(dialog, nullptr);

    const HWND question = driver_->WaitForDialog(kRestartCaption);
    ASSERT_NE(question, nullptr) << driver_->Describe();
    EXPECT_EQ(ItemText(question, kMessageBoxTextId), kRestartQuestion);
    EXPECT_NE(::GetDlgItem(question, IDYES), nullptr);
    EXPECT_NE(::GetDlgItem(question, IDNO), nullptr);
    EXPECT_EQ(::GetWindow(question, GW_OWNER), dialog) << "the box belongs to the progress dialog";
    // The question is asked inside the run: it waits for the answer, and closing is still refused.
    EXPECT_EQ(ItemText(dialog, IDC_STATUS_TEXT), Installing(L"PatchReboot.msp", "x86"));
    EXPECT_FALSE(ItemEnabled(dialog, IDCANCEL));
    EXPECT_EQ(InstalledText("x86"), PatchedText("PatchReboot.msp", "x86"));

    // Never Yes: Wine would end the session.
    ASSERT_TRUE(Press(question, IDNO));
    EXPECT_TRUE(WaitForWindowGone(question));
    ExpectFinishedAndClose(dialog, ERROR_SUCCESS_REBOOT_REQUIRED);
    EXPECT_EQ(InstalledText("x86"), PatchedText("PatchReboot.msp", "x86"));
    EXPECT_EQ(InstalledText("x64"), Fact("/products/x64/original"));
    EXPECT_EQ(driver_->Boxes(), (std::vector<MessageBoxRecord>{{kRestartCaption, kRestartQuestion}}))
        << driver_->Describe();
}

TEST_F(InteractiveUpdate, AboutBoxOpenedDuringTheRunLeavesItGoingOn) {
    // Queued behind OK: the dialog opens the box once the run has started.
    const HWND dialog = StartInteractiveAndPressOk({L"PatchX64.msp", L"PatchX86.msp"});
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(SystemCommand(dialog, IDM_ABOUT));

    const HWND about = driver_->WaitForDialog(kAboutCaption);
    ASSERT_NE(about, nullptr) << driver_->Describe();
    // The version the updater's own version resource carries.
    EXPECT_EQ(ItemTexts(about), (Lines{L"OK", kCaption, VersionLine(CORVANTILE_WIDEN(CORVANTILE_VERSION_TEXT))}));
    EXPECT_EQ(::GetWindow(about, GW_OWNER), dialog);
    EXPECT_FALSE(::IsWindowEnabled(dialog)) << "the About box is modal";
    // The worker goes on behind the box, and the dialog shows its outcome meanwhile.
    EXPECT_TRUE(driver_->WaitForStatusText(dialog, kFinished)) << driver_->Describe();
    EXPECT_TRUE(::IsWindow(about));

    ASSERT_TRUE(Press(about, IDOK));
    EXPECT_TRUE(WaitForWindowGone(about));
    EXPECT_TRUE(WaitUntil([dialog] { return ::IsWindowEnabled(dialog) != FALSE; }));
    ExpectFinishedAndClose(dialog);
    ExpectBothProductsPatched();
    EXPECT_EQ(driver_->Boxes(), (std::vector<MessageBoxRecord>{{kAboutCaption, L""}})) << driver_->Describe();
}

// ---- Closing while the run goes on: every way of asking is refused ----

struct CloseAttempt {
    const char* name;
    UINT message;
    WPARAM wParam;
};

void PrintTo(const CloseAttempt& attempt, std::ostream* out) { *out << attempt.name; }

class RefusedClose : public RealUpdate, public ::testing::WithParamInterface<CloseAttempt> {};

TEST_P(RefusedClose, IsIgnoredAndTheRunFinishes) {
    // Posted right behind OK, the request reaches the dialog after the run has started, and long before it
    // can end: the Installer takes far longer than one turn of the message loop.
    const HWND dialog = StartInteractiveAndPressOk({L"PatchX64.msp", L"PatchX86.msp"});
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(Post(dialog, GetParam().message, GetParam().wParam));

    // While the run is on, Cancel is disabled. The dialog disables it before it shows the first running
    // status, and enables it after it shows the outcome: a look counts when the status read before it was a
    // running one and the status read after it was not yet the outcome.
    const auto running = [](const std::wstring& status) {
        return !status.empty() && status != kReady && status != kFinished && status != kFailed;
    };
    int runningSamples = 0;
    int enabledWhileRunning = 0;
    WaitUntil([&] {
        const std::wstring before = ItemText(dialog, IDC_STATUS_TEXT);
        const bool cancelEnabled = ItemEnabled(dialog, IDCANCEL);
        const std::wstring after = ItemText(dialog, IDC_STATUS_TEXT);
        if (running(before) && running(after)) {
            ++runningSamples;
            if (cancelEnabled) ++enabledWhileRunning;
        }
        return after.empty() || after == kFinished || after == kFailed;
    });
    EXPECT_GT(runningSamples, 0) << driver_->Describe();
    EXPECT_EQ(enabledWhileRunning, 0) << "of " << runningSamples << " looks during the run";

    ExpectFinishedAndClose(dialog);
    ExpectBothProductsPatched();
}

INSTANTIATE_TEST_SUITE_P(WhileRunning, RefusedClose,
                         ::testing::Values(CloseAttempt{"CancelButton", WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED)},
                                           CloseAttempt{"WindowClose", WM_CLOSE, 0},
                                           CloseAttempt{"SystemMenuClose", WM_SYSCOMMAND, SC_CLOSE}),
                         [](const ::testing::TestParamInfo<CloseAttempt>& info) { return info.param.name; });

// ---- Silent runs with a log: what a deployment script sees ----

struct InstallerLog {
    const wchar_t* patch;
    const char* product;
};

struct SilentCase {
    const char* name;
    std::vector<std::wstring> patches;
    bool tempMissing;  // TEMP and TMP name a directory that does not exist
    DWORD exitCode;
    Lines (*log)();
    const char* x64Content;  // fixture facts
    const char* x86Content;
    std::vector<InstallerLog> installerLogs;
    const wchar_t* outcome;  // the status text the dialog ends with
};

void PrintTo(const SilentCase& row, std::ostream* out) { *out << row.name; }

class SilentUpdate : public RealUpdate, public ::testing::WithParamInterface<SilentCase> {};

TEST_P(SilentUpdate, EndsWithItsExitCodeLogAndInstalledFiles) {
    const SilentCase& row = GetParam();
    const std::wstring updater = PackUpdater(InRoot(L"Update.exe"), row.patches);
    ASSERT_FALSE(updater.empty());
    const std::wstring missingTemp = InRoot(L"no-such-temp");
    EnvironmentChanges environment;
    if (row.tempMissing) environment = {{L"TEMP", missingTemp}, {L"TMP", missingTemp}};

    driver_ = Start(updater, {L"-a", L"-l", LogDirectory()}, environment);
    ASSERT_NO_FATAL_FAILURE(ExpectExit(row.exitCode));

    EXPECT_TRUE(LogHolds(LogDirectory(), row.log()));
    EXPECT_EQ(InstalledText("x64"), Fact(row.x64Content));
    EXPECT_EQ(InstalledText("x86"), Fact(row.x86Content));
    Lines logFiles{kLogFileName};
    for (const InstallerLog& log : row.installerLogs) {
        logFiles.push_back(InstallerLogName(log.patch, log.product));
        EXPECT_TRUE(HasInstallerLog(LogDirectory(), log.patch, log.product));
    }
    std::sort(logFiles.begin(), logFiles.end());
    EXPECT_EQ(ListTree(LogDirectory()), logFiles);

    EXPECT_TRUE(driver_->Boxes().empty()) << driver_->Describe();
    EXPECT_EQ(GuidDirectoriesInTemp(), tempBefore_) << "no working directory stays behind";
    EXPECT_FALSE(PathExists(missingTemp));
    // The run never waits for a click; the outcome shows for a moment only, and is checked when it was seen.
    // (The template's "Click 'OK'" text may be seen too: it is there until the dialog's initialisation.)
    const Lines statuses = driver_->StatusTexts();
    const std::wstring other = std::wstring(row.outcome) == kFinished ? kFailed : kFinished;
    EXPECT_EQ(std::find(statuses.begin(), statuses.end(), other), statuses.end()) << driver_->Describe();
    std::cout << "status texts seen:" << Show(statuses) << "\n";
}

INSTANTIATE_TEST_SUITE_P(
    WithLog, SilentUpdate,
    ::testing::Values(SilentCase(
                          "PatchesBothProducts", {L"PatchX64.msp", L"PatchX86.msp"}, false, 0,
                          [] {
                              return (Lines{kExtracting, kDetermining, OrderLine("x64"),
                                            Installing(L"PatchX64.msp", "x64"), kSucceeded, OrderLine("x86"),
                                            Installing(L"PatchX86.msp", "x86"), kSucceeded, kCommitted});
                          },
                          "/patches/PatchX64.msp/contents/x64", "/patches/PatchX86.msp/contents/x86",
                          {{L"PatchX64.msp", "x64"}, {L"PatchX86.msp", "x86"}}, kFinished),
                      // The x64 patch stays applied: Wine's Installer transaction is a stub that never rolls back.
                      SilentCase(
                          "FailingPatchStopsTheRun", {L"PatchX64.msp", L"PatchFails.msp", L"PatchX86.msp"}, false,
                          ERROR_INSTALL_FAILURE,
                          [] {
                              return (Lines{kExtracting, kDetermining, OrderLine("x64"),
                                            Installing(L"PatchX64.msp", "x64"), kSucceeded,
                                            Installing(L"PatchFails.msp", "x64"), ApplyFailed(1603)});
                          },
                          "/patches/PatchX64.msp/contents/x64", "/products/x86/original",
                          {{L"PatchX64.msp", "x64"}, {L"PatchFails.msp", "x64"}}, kFailed),
                      // No working directory can be made: the update never starts.
                      SilentCase(
                          "MissingTempDirectoryStopsBeforeExtracting", {L"PatchX64.msp", L"PatchX86.msp"}, true, 1,
                          [] { return Lines{}; }, "/products/x64/original", "/products/x86/original", {}, kFailed)),
    [](const ::testing::TestParamInfo<SilentCase>& info) { return info.param.name; });

}  // namespace
}  // namespace corvantile::blackbox
