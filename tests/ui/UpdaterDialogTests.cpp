// The progress dialog and its worker in this process, from the updater's own resources, with the engine
// running against the scripted Installer: the dialog's states, what it refuses, and how it ends.
#include "ui/UpdaterDialog.h"
#include "ui/UpdaterThread.h"

#include "CorvantileVersion.h"
#include "base/UniqueHandles.h"
#include "res/resource.h"
#include "tests/engine/FakeInstaller.h"
#include "tests/package/PackageTestSupport.h"
#include "tests/support/SystemTexts.h"
#include "ui/Notifications.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <commctrl.h>
#include <sddl.h>

#include <algorithm>
#include <chrono>
#include <cwchar>
#include <functional>
#include <optional>
#include <ostream>
#include <regex>
#include <string>
#include <thread>

#define CORVANTILE_WIDEN_(text) L##text
#define CORVANTILE_WIDEN(text) CORVANTILE_WIDEN_(text)
#define CORVANTILE_VERSION_WIDE CORVANTILE_WIDEN(CORVANTILE_VERSION_TEXT)

namespace corvantile {
namespace {

using namespace testing;
using namespace texts;

constexpr auto kPatience = std::chrono::seconds(20);

std::wstring TextOf(HWND window) {
    wchar_t text[512] = {};
    ::GetWindowTextW(window, text, 512);
    return text;
}

// A click on the button as it arrives from another thread.
void PostClick(HWND dialog, int id) { ::PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }

// The one status text a run of the fixture's a.msp shows while it applies the patch.
std::wstring InstallingA() { return Installing(L"a.msp", L"Server"); }

// GetTempPathW when it fails.
DWORD WINAPI NoTemporaryPath(DWORD, LPWSTR) { return 0; }

// GetTempPathW as Windows documents it, giving `path`: too small a buffer gets the needed size and is left as
// it was.
DWORD GiveTempPath(const std::wstring& path, DWORD capacity, LPWSTR buffer) {
    if (capacity <= path.size()) return static_cast<DWORD>(path.size() + 1);
    std::wmemcpy(buffer, path.c_str(), path.size() + 1);
    return static_cast<DWORD>(path.size());
}

// What the dialog shows, read as a user would see it; compared as a whole.
struct Screen {
    std::wstring intro;
    std::wstring status;
    bool okEnabled = false;
    std::wstring cancelCaption;
    bool cancelEnabled = false;
    bool progressVisible = false;
    bool operator==(const Screen&) const = default;
};

void PrintTo(const Screen& screen, std::ostream* out) {
    *out << ::testing::PrintToString(screen.intro) << ", status " << ::testing::PrintToString(screen.status) << ", OK "
         << (screen.okEnabled ? "enabled" : "disabled") << ", " << ::testing::PrintToString(screen.cancelCaption)
         << (screen.cancelEnabled ? " enabled" : " disabled") << ", progress bar "
         << (screen.progressVisible ? "shown" : "hidden");
}

// The intro the fixture's product gets, in every phase.
std::wstring IntroA() { return Intro(L"Corvantile Server 10", L"2.0.0.100"); }

// One dialog on a crafted updater: the fixture builds the package, the scripted Installer and the state, and
// pumps this thread's messages while the worker runs.
class UpdaterDialog : public ::testing::Test {
protected:
    FakeInstaller fake;
    DialogState state;

    void SetUp() override {
        static const bool controls = [] {
            const INITCOMMONCONTROLSEX init{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
            return ::InitCommonControlsEx(&init) != FALSE;
        }();
        ASSERT_TRUE(controls);
        fake.patches[L"a.msp"].targets = L"{A}";
        fake.products[L"{A}"].installedName = L"Server";
        updater_.emplace(scratch_.path(), BuildPackage({{L"a.msp", PatchLikeData(100, 1)}}));
        ASSERT_TRUE(updater_->headerRead());
        state.instanceHandle = ::GetModuleHandleW(nullptr);
        state.productName = kProductName;
        state.productVersion = kProductVersion;
        state.engine =
            EngineContext{&FakeInstaller::Load, &updater_->package(), L"", state.instanceHandle, IDS_INSTALLING_UPDATE};
    }

    void TearDown() override {
        if (::IsWindow(dialog())) ::DestroyWindow(dialog());
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        }
    }

    HWND Create() {
        progress_.emplace(state);
        const HWND window = progress_->Create();
        EXPECT_EQ(window, state.window);
        // Shown as the entry point shows it; a silent run may already have closed it.
        if (::IsWindow(window)) ::ShowWindow(window, SW_SHOWNORMAL);
        return window;
    }
    HWND dialog() const { return state.window; }
    DialogPhase phase() const { return progress_->phase(); }
    HWND Item(int id) const { return ::GetDlgItem(dialog(), id); }

    Screen Read() const {
        return {TextOf(Item(IDC_INTRO_TEXT)),
                TextOf(Item(IDC_STATUS_TEXT)),
                ::IsWindowEnabled(Item(IDOK)) != FALSE,
                TextOf(Item(IDCANCEL)),
                ::IsWindowEnabled(Item(IDCANCEL)) != FALSE,
                (::GetWindowLongW(Item(IDC_PROGRESS), GWL_STYLE) & WS_VISIBLE) != 0};
    }

    // Dispatches this thread's messages, as the entry point's loop does, until `done` holds.
    bool PumpUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            MSG message;
            while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
                if (message.message == WM_QUIT) {
                    quitCode_ = static_cast<int>(message.wParam);
                    continue;
                }
                if (::IsWindow(dialog()) && ::IsDialogMessageW(dialog(), &message)) continue;
                ::TranslateMessage(&message);
                ::DispatchMessageW(&message);
            }
            ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
        }
        return true;
    }
    // Dispatches for a while, so that anything the dialog would do in response has happened.
    void PumpFor(std::chrono::milliseconds duration) {
        const auto until = std::chrono::steady_clock::now() + duration;
        PumpUntil([&] { return std::chrono::steady_clock::now() > until; });
    }
    bool PumpUntilFinished() {
        return PumpUntil([&] { return phase() == DialogPhase::Finished; });
    }
    bool PumpUntilStatus(const std::wstring& status) {
        return PumpUntil([&] { return Read().status == status; });
    }

    void Press(int id) { ::SendMessageW(dialog(), WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }

    // Creates the dialog and clicks OK. Fatal when there is no dialog: call it inside ASSERT_NO_FATAL_FAILURE.
    void CreateAndPressOk() {
        ASSERT_NE(nullptr, Create());
        Press(IDOK);
    }

    // The outcome the dialog shows once the run is over: this status, OK still off, the progress bar gone, and
    // Cancel turned into an enabled Close.
    void ExpectOutcome(const std::wstring& status) const {
        EXPECT_EQ((Screen{.intro = IntroA(), .status = status, .cancelCaption = kClose, .cancelEnabled = true}),
                  Read());
    }

    // The dialog's end posts WM_QUIT with this exit code. Fatal when no WM_QUIT comes: call it inside
    // ASSERT_NO_FATAL_FAILURE.
    void ExpectQuit(int exitCode, const std::string& why = {}) {
        ASSERT_TRUE(PumpUntil([&] { return quitCode_.has_value(); }))
            << "no WM_QUIT within " << kPatience.count() << " s";
        EXPECT_EQ(exitCode, *quitCode_) << why;
    }

    // Keeps the scripted Installer's apply waiting until the returned event is set.
    HANDLE HoldApply() {
        hold_.reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        fake.holdApply = hold_.get();
        return hold_.get();
    }

    // Opens the About box from the system menu. The box runs its own loop on this thread, so `helper` deals with
    // it from another thread once it is visible (its initialisation has then made and filled its controls);
    // `helper` is not called when it does not turn visible within 20 s.
    void WithAboutBox(const std::function<void(HWND about)>& helper) {
        std::thread thread([&] {
            for (int i = 0; i < 2000; ++i) {
                const HWND about = ::FindWindowW(L"#32770", kAboutCaption);
                if (about != nullptr && ::IsWindowVisible(about)) return helper(about);
                ::Sleep(10);
            }
        });
        // The id is compared as it is: the low four bits are not masked off first.
        ::SendMessageW(dialog(), WM_SYSCOMMAND, IDM_ABOUT, 0);
        thread.join();
    }

    void ResetQuit() { quitCode_.reset(); }

private:
    TempDirectory scratch_{TempDirectory::Parent::UserTemp};
    UniqueHandle hold_;
    std::optional<CraftedUpdater> updater_;
    std::optional<ProgressDialog> progress_;
    std::optional<int> quitCode_;
};

TEST_F(UpdaterDialog, ReadyShowsTheProductAndWaitsForOk) {
    ASSERT_NE(nullptr, Create());
    const Screen ready{
        .intro = IntroA(), .status = kReady, .okEnabled = true, .cancelCaption = kCancel, .cancelEnabled = true};
    EXPECT_EQ(ready, Read());
    EXPECT_EQ(kCaption, TextOf(dialog()));

    // "&About" comes last in the system menu.
    const HMENU menu = ::GetSystemMenu(dialog(), FALSE);
    const int last = ::GetMenuItemCount(menu) - 1;
    EXPECT_EQ(static_cast<UINT>(IDM_ABOUT), ::GetMenuItemID(menu, last));
    wchar_t item[32] = {};
    ::GetMenuStringW(menu, last, item, 32, MF_BYPOSITION);
    EXPECT_EQ(std::wstring(L"&About"), item);

    // Centred on the desktop, each half rounded toward zero.
    RECT desktop{};
    RECT window{};
    ::GetWindowRect(::GetDesktopWindow(), &desktop);
    ::GetWindowRect(dialog(), &window);
    EXPECT_EQ(desktop.left + ((desktop.right - desktop.left) - (window.right - window.left)) / 2, window.left);
    EXPECT_EQ(desktop.top + ((desktop.bottom - desktop.top) - (window.bottom - window.top)) / 2, window.top);
    EXPECT_EQ(0, ::GetWindowLongW(Item(IDOK), GWL_STYLE) & BS_DEFPUSHBUTTON);
    EXPECT_NE(0, ::SendMessageW(dialog(), WM_GETICON, ICON_SMALL, 0)) << "the program's icon, small";
    EXPECT_EQ(0, ::SendMessageW(dialog(), WM_GETICON, ICON_BIG, 0)) << "the large icon is not set";
}

TEST_F(UpdaterDialog, CancelInReadyEndsWithoutARunAndRemovesNothing) {
    ASSERT_NE(nullptr, Create());
    Press(IDCANCEL);
    EXPECT_FALSE(::IsWindow(dialog()));
    ASSERT_NO_FATAL_FAILURE(ExpectQuit(0));
    EXPECT_EQ(L"", state.workingDirectory);
    EXPECT_EQ(std::vector<Call>{}, fake.calls);
}

TEST_F(UpdaterDialog, RunningRefusesToCloseThenFinishes) {
    const HANDLE hold = HoldApply();
    ASSERT_NE(nullptr, Create());
    ::SetFocus(Item(IDOK));  // as after a click or Space on the button
    Press(IDOK);
    ASSERT_TRUE(PumpUntilStatus(InstallingA()));
    EXPECT_EQ((Screen{.intro = IntroA(), .status = InstallingA(), .cancelCaption = kCancel, .progressVisible = true}),
              Read());
    const HWND focus = ::GetFocus();
    EXPECT_TRUE(focus == dialog() || (focus != nullptr && ::IsWindowEnabled(focus))) << "focus on a disabled control";

    // Esc, the close box, Alt+F4, the system menu's Close and a second OK: all refused while the worker runs.
    Press(IDCANCEL);
    Press(IDOK);
    ::PostMessageW(dialog(), WM_KEYDOWN, VK_ESCAPE, 0);
    ::SendMessageW(dialog(), WM_CLOSE, 0, 0);
    ::SendMessageW(dialog(), WM_SYSCOMMAND, SC_CLOSE, 0);
    PumpFor(std::chrono::milliseconds(200));
    EXPECT_TRUE(::IsWindow(dialog()));
    EXPECT_EQ(DialogPhase::Running, phase());
    EXPECT_EQ(1u, fake.Calls({L"MsiBeginTransactionW"}).size()) << "one run only";

    ::SetEvent(hold);
    ASSERT_TRUE(PumpUntilFinished());
    ExpectOutcome(kFinished);
    EXPECT_EQ(Item(IDCANCEL), ::GetFocus());

    // The worker's directory: the temporary path followed by a GUID, the one the engine extracted into.
    const std::wstring directory = state.workingDirectory;
    EXPECT_EQ(TemporaryPath(), directory.substr(0, directory.size() - 36));
    EXPECT_TRUE(std::regex_match(directory.substr(directory.size() - 36),
                                 std::wregex(L"[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")));
    EXPECT_EQ(Call(L"MsiOpenDatabaseW", directory + L"\\a.msp", L"32"), fake.calls.at(0));
    EXPECT_TRUE(FileExists(directory + L"\\a.msp"));

    Press(IDCANCEL);
    ASSERT_NO_FATAL_FAILURE(ExpectQuit(0));
    EXPECT_FALSE(PathExists(directory)) << "the working directory goes with the dialog";
}

TEST_F(UpdaterDialog, FailedRunEndsWithTheInstallersCode) {
    fake.applyResults[L"a.msp"] = {ERROR_INSTALL_FAILURE};
    ASSERT_NO_FATAL_FAILURE(CreateAndPressOk());
    ASSERT_TRUE(PumpUntilFinished());
    ExpectOutcome(kFailed);
    ::SendMessageW(dialog(), WM_CLOSE, 0, 0);  // the close box works again once the run is over
    ASSERT_NO_FATAL_FAILURE(ExpectQuit(1603));
}

TEST_F(UpdaterDialog, WorkerThatCannotStartGivesTheFailedOutcome) {
    state.beginThread = [](void*, unsigned, _beginthreadex_proc_type, void*, unsigned, unsigned*) -> std::uintptr_t {
        return 0;
    };
    const LogCapture log;
    ASSERT_NO_FATAL_FAILURE(CreateAndPressOk());
    EXPECT_EQ(DialogPhase::Finished, phase());
    ExpectOutcome(kFailed);
    EXPECT_EQ(std::vector<std::wstring>{L"Updater thread creation failed."}, log.Lines());
    EXPECT_EQ(std::vector<Call>{}, fake.calls);
    Press(IDCANCEL);
    ASSERT_NO_FATAL_FAILURE(ExpectQuit(1));
}

// Every text the status line was given on this thread, including those a silent run shows only for the moment
// before it closes.
class StatusLineRecorder {
public:
    StatusLineRecorder() : hook_(::SetWindowsHookExW(WH_CALLWNDPROC, Record, nullptr, ::GetCurrentThreadId())) {
        texts_.clear();
    }
    ~StatusLineRecorder() { ::UnhookWindowsHookEx(hook_); }
    static const std::vector<std::wstring>& texts() { return texts_; }

private:
    static LRESULT CALLBACK Record(int code, WPARAM wParam, LPARAM lParam) {
        const auto* message = reinterpret_cast<const CWPSTRUCT*>(lParam);
        if (code == HC_ACTION && message->message == WM_SETTEXT && ::GetDlgCtrlID(message->hwnd) == IDC_STATUS_TEXT) {
            texts_.emplace_back(reinterpret_cast<const wchar_t*>(message->lParam));
        }
        return ::CallNextHookEx(nullptr, code, wParam, lParam);
    }
    static inline std::vector<std::wstring> texts_;
    HHOOK hook_;
};

TEST_F(UpdaterDialog, SilentRunStartsInsideCreationAndClosesItself) {
    state.unattended = true;
    const StatusLineRecorder recorder;
    ASSERT_NE(nullptr, Create());
    EXPECT_NE(DialogPhase::Ready, phase()) << "started before the window is shown";
    ASSERT_NO_FATAL_FAILURE(ExpectQuit(0));
    EXPECT_FALSE(::IsWindow(dialog()));
    EXPECT_EQ(1, std::count(recorder.texts().begin(), recorder.texts().end(), InstallingA()));
}

TEST_F(UpdaterDialog, LogThatWasNotCreatedIsSaidInReadyOnly) {
    state.logNotCreated = true;
    ASSERT_NE(nullptr, Create());
    EXPECT_EQ(kLogNotCreated, Read().status);
    Press(IDOK);
    ASSERT_TRUE(PumpUntilFinished());
    ExpectOutcome(kFinished);
}

TEST_F(UpdaterDialog, SilentRunThatFailsSaysSoAndClosesItself) {
    struct Case {
        const char* name;
        void (*script)(FakeInstaller&, DialogState&);
        int exitCode;
    };
    const Case cases[] = {
        {"busy Installer", [](FakeInstaller& f, DialogState&) { f.beginResult = ERROR_INSTALL_ALREADY_RUNNING; }, 1618},
        {"no temporary directory",
         [](FakeInstaller&, DialogState& s) { s.workingDirectoryCalls.getTempPath = NoTemporaryPath; }, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        state.unattended = true;
        state.exitCode = 0;
        ResetQuit();
        c.script(fake, state);
        const StatusLineRecorder recorder;
        ASSERT_NE(nullptr, Create());
        ASSERT_NO_FATAL_FAILURE(ExpectQuit(c.exitCode));
        ASSERT_FALSE(recorder.texts().empty());
        EXPECT_EQ(kFailed, recorder.texts().back());
    }
}

TEST_F(UpdaterDialog, SilentRunStillAsksTheRestartQuestion) {
    state.unattended = true;
    fake.applyResults[L"a.msp"] = {ERROR_SUCCESS_REBOOT_REQUIRED};
    fake.restart.messageBoxAnswer = IDNO;
    ASSERT_NE(nullptr, Create());
    const HWND window = dialog();
    ASSERT_NO_FATAL_FAILURE(ExpectQuit(3010, "the restart is still to come"));
    wchar_t owner[32];
    std::swprintf(owner, 32, L"0x%llx", static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(window)));
    EXPECT_EQ(std::vector<std::wstring>{owner}, fake.Args(L"MessageBoxW", L"owner")) << "asked once, by the dialog";
}

// A run that made no working directory has none to remove: closing the dialog leaves the temporary
// directory as it was, whichever step failed.
struct WorkingDirectoryFailure {
    const char* name;
    WorkingDirectoryCalls calls;
};

void PrintTo(const WorkingDirectoryFailure& failure, std::ostream* out) { *out << failure.name; }

// The stand-in temporary directory, with a file of the user's in it and a directory named as a GUID. Not the
// all-zero one, which a run that ignored a failed GUID would try to make.
std::wstring standInTemp;
constexpr wchar_t kUsersGuidDirectory[] = L"00000001-0000-0000-0000-000000000000";

DWORD WINAPI StandInTempPath(DWORD capacity, LPWSTR buffer) { return GiveTempPath(standInTemp, capacity, buffer); }

class UpdaterDialogWorkingDirectory : public UpdaterDialog,
                                      public ::testing::WithParamInterface<WorkingDirectoryFailure> {};

TEST_P(UpdaterDialogWorkingDirectory, FailsTheRunAndRemovesNothing) {
    const TempDirectory temp(TempDirectory::Parent::UserTemp);
    standInTemp = temp.path() + L"\\";
    ASSERT_TRUE(WriteFileBytes(temp / L"users-file.txt", Bytes{1, 2, 3}));
    ASSERT_TRUE(MakeDirectory(temp / kUsersGuidDirectory));
    state.workingDirectoryCalls = GetParam().calls;
    if (state.workingDirectoryCalls.getTempPath == nullptr) state.workingDirectoryCalls.getTempPath = StandInTempPath;

    ASSERT_NO_FATAL_FAILURE(CreateAndPressOk());
    ASSERT_TRUE(PumpUntilFinished());
    ExpectOutcome(kFailed);
    Press(IDCANCEL);
    ASSERT_NO_FATAL_FAILURE(ExpectQuit(1));
    EXPECT_EQ(L"", state.workingDirectory);
    EXPECT_EQ((std::vector<std::wstring>{kUsersGuidDirectory + std::wstring(L"\\"), L"users-file.txt"}),
              ListTree(temp.path()));
    EXPECT_EQ(std::vector<Call>{}, fake.calls);
}

// The steps after the temporary path, failing, and a GUID that names a directory already there.
HRESULT WINAPI NoGuid(GUID*) { return E_FAIL; }
constexpr auto kNoGuidText = [](auto*, RPC_WSTR*) -> RPC_STATUS { return RPC_S_OUT_OF_MEMORY; };
constexpr auto kNullGuidText = [](auto*, RPC_WSTR* text) -> RPC_STATUS {
    *text = nullptr;
    return RPC_S_OK;
};
HRESULT WINAPI GuidOfTheUsersDirectory(GUID* guid) {
    *guid = GUID{1, 0, 0, {}};
    return S_OK;
}

INSTANTIATE_TEST_SUITE_P(Steps, UpdaterDialogWorkingDirectory,
                         ::testing::Values(
                             // Else the directory would be a bare GUID, relative to the current directory.
                             WorkingDirectoryFailure{"NoTemporaryPath", {NoTemporaryPath}},
                             // Else an all-zero GUID, the same for every run.
                             WorkingDirectoryFailure{"NoGuid", {nullptr, NoGuid}},
                             // Else the temporary directory itself, with every file in it.
                             WorkingDirectoryFailure{"NoGuidText", {nullptr, &::CoCreateGuid, kNoGuidText}},
                             WorkingDirectoryFailure{"GuidTextIsNull", {nullptr, &::CoCreateGuid, kNullGuidText}},
                             // A directory that is there already is not taken over.
                             WorkingDirectoryFailure{"DirectoryExists", {nullptr, GuidOfTheUsersDirectory}}),
                         [](const ::testing::TestParamInfo<WorkingDirectoryFailure>& info) { return info.param.name; });

TEST_F(UpdaterDialog, StatusTextsKeepArrivingWhileTheAboutBoxIsOpen) {
    const HANDLE hold = HoldApply();
    ASSERT_NO_FATAL_FAILURE(CreateAndPressOk());
    ASSERT_TRUE(PumpUntilStatus(InstallingA()));

    // The helper lets the run finish behind the box, and closes it once the dialog shows the outcome.
    std::wstring aboutTexts;
    std::wstring statusBehind;
    WithAboutBox([&](HWND about) {
        aboutTexts =
            TextOf(::GetDlgItem(about, IDC_ABOUT_NAME)) + L"|" + TextOf(::GetDlgItem(about, IDC_ABOUT_VERSION));
        ::SetEvent(hold);
        for (int i = 0; i < 2000 && statusBehind != kFinished; ++i) {
            statusBehind = TextOf(Item(IDC_STATUS_TEXT));
            ::Sleep(10);
        }
        PostClick(about, IDOK);
    });
    ::SetEvent(hold);
    // The version this build's resource carries.
    EXPECT_EQ(std::wstring(kCaption) + L"|" + VersionLine(CORVANTILE_VERSION_WIDE), aboutTexts);
    EXPECT_EQ(kFinished, statusBehind);
    EXPECT_EQ(DialogPhase::Finished, phase());
}

TEST_F(UpdaterDialog, EscClosesTheAboutBox) {
    ASSERT_NE(nullptr, Create());
    bool closedByEsc = false;
    WithAboutBox([&](HWND about) {
        ::PostMessageW(::GetDlgItem(about, IDOK), WM_KEYDOWN, VK_ESCAPE, 0);
        for (int i = 0; i < 200 && ::IsWindow(about); ++i) ::Sleep(10);
        closedByEsc = !::IsWindow(about);
        if (!closedByEsc) PostClick(about, IDOK);
    });
    EXPECT_TRUE(closedByEsc);
    EXPECT_TRUE(::IsWindow(dialog())) << "Esc closes the box, not the dialog";
}

TEST_F(UpdaterDialog, EmptyStatusTextEmptiesTheLine) {
    ASSERT_NE(nullptr, Create());
    ::SendMessageW(dialog(), UM_STATUS_TEXT, reinterpret_cast<WPARAM>(L""), 0);
    EXPECT_EQ(L"", Read().status);
}

// ---- The worker's directory ----

TEST(UpdaterWorkingDirectory, CreatedWithAProtectedDescriptorForAdministratorsAndSystem) {
    static std::wstring received;
    static std::wstring receivedPath;
    const auto recordingCreate = [](LPCWSTR path, LPSECURITY_ATTRIBUTES attributes) -> BOOL {
        receivedPath = path;
        LPWSTR sddl = nullptr;
        if (attributes != nullptr &&
            ::ConvertSecurityDescriptorToStringSecurityDescriptorW(attributes->lpSecurityDescriptor, SDDL_REVISION_1,
                                                                   DACL_SECURITY_INFORMATION, &sddl, nullptr)) {
            received = sddl;
            ::LocalFree(sddl);
        }
        return ::CreateDirectoryW(path, attributes);
    };
    const TempDirectory scratch(TempDirectory::Parent::UserTemp);
    const std::wstring path = scratch / L"work";
    ASSERT_TRUE(CreateWorkingDirectory(path, recordingCreate));
    EXPECT_EQ(path, receivedPath);
    EXPECT_EQ(L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)", received);
    EXPECT_TRUE(DirectoryExists(path));
    EXPECT_FALSE(CreateWorkingDirectory(path)) << "an existing directory is not taken over";
}

// Wine's own GetTempPathW gives up beyond MAX_PATH, so the long case is played by a stand-in that behaves as
// Windows documents: too small a buffer gets the needed size and is left as it was.
TEST(UpdaterWorkingDirectory, TemporaryPathOfAnyLength) {
    static const std::wstring longPath = L"C:\\" + std::wstring(300, L'd') + L"\\";
    const auto longTemp = [](DWORD capacity, LPWSTR buffer) { return GiveTempPath(longPath, capacity, buffer); };
    EXPECT_EQ(longPath, TemporaryPath(longTemp));
    EXPECT_EQ(L"", TemporaryPath(NoTemporaryPath));
    const std::wstring real = TemporaryPath();
    EXPECT_FALSE(real.empty());
    EXPECT_EQ(L'\\', real.back());
}

}  // namespace
}  // namespace corvantile
