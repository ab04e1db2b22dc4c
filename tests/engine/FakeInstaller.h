// A scripted Windows Installer for the engine's tests: patches, installed products and results chosen by
// the test; every call recorded as a value, with its arguments. It also stands in for the dialog's status
// line and for the restart calls, so that no test can restart the machine.
#pragma once

#include "engine/InstallerApi.h"
#include "engine/StatusLine.h"
#include "tests/package/PackageTestSupport.h"

#include <windows.h>

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace corvantile::testing {

// One call to the table: the function and its arguments, each as text: "null" for a null pointer, "#3" for an
// Installer handle, "<dir>\a.msp" for a path in extractDir, flags in hex. In Events() a log line is a call
// of "log" with the line as its one argument.
struct Call {
    std::wstring function;
    std::vector<std::wstring> args;

    template <typename... Values>
    explicit Call(std::wstring name, const Values&... values)
        : function(std::move(name)), args{std::wstring(values)...} {}

    // The argument of that parameter, by the name that FakeInstaller.cpp gives it, e.g. "path" and
    // "commandLine" of MsiApplyPatchW.
    [[nodiscard]] const std::wstring& Arg(std::wstring_view parameter) const;
    // "MsiApplyPatchW(<dir>\a.msp, null, 0, REINSTALL=ALL REINSTALLMODE=omus)"; a log line as "log: <line>".
    [[nodiscard]] std::wstring Text() const;
    bool operator==(const Call&) const = default;
};
void PrintTo(const Call& call, std::ostream* out);
inline Call LogLine(std::wstring line) { return Call(L"log", std::move(line)); }
// One text line per call, for a comparison whose failure shows a diff.
[[nodiscard]] std::wstring Transcript(const std::vector<Call>& calls);

struct FakePatch {
    std::wstring targets;  // the template: product codes joined by ";"
    UINT openResult = ERROR_SUCCESS;
    UINT summaryResult = ERROR_SUCCESS;
    UINT templateProbeResult = ERROR_MORE_DATA;
    UINT templateReadResult = ERROR_SUCCESS;
};

struct FakeSequence {
    std::int32_t order = 0;
    UINT status = ERROR_SUCCESS;
};

struct FakeProduct {
    INSTALLSTATE state = INSTALLSTATE_DEFAULT;
    std::optional<std::wstring> installedName;  // none: both reads of the name fail
    std::wstring packageTemplate = L"x64;1033";
    UINT localPackageProbeResult = ERROR_SUCCESS;
    UINT localPackageReadResult = ERROR_SUCCESS;
    UINT installedNameReadResult = ERROR_SUCCESS;  // the second read of the name, after a good probe
    UINT packageSummaryResult = ERROR_SUCCESS;
    UINT packageTemplateProbeResult = ERROR_MORE_DATA;
    UINT packageTemplateReadResult = ERROR_SUCCESS;
    UINT sequenceResult = ERROR_SUCCESS;
    // What sequencing reports per element, in array order; shorter or empty: the missing elements get their
    // array position as order and status 0, as Wine's Installer does.
    std::vector<FakeSequence> sequence;
};

// The restart question's answer and what the restart's calls give.
struct FakeRestart {
    int messageBoxAnswer = IDNO;
    // The window station's flags, as GetUserObjectInformationW gives them; none: the query fails.
    std::optional<DWORD> windowStationFlags = WSF_VISIBLE;
    BOOL openTokenResult = TRUE;
    BOOL lookupPrivilegeResult = TRUE;
    BOOL exitWindowsResult = TRUE;
};

class FakeInstaller final : public StatusLine {
public:
    FakeInstaller();
    ~FakeInstaller();
    FakeInstaller(const FakeInstaller&) = delete;
    FakeInstaller& operator=(const FakeInstaller&) = delete;

    // A loader that gives the table to hand to the engine.
    static const InstallerApi* Load();

    // Keyed by file name; the engine's paths are read relative to extractDir.
    std::map<std::wstring, FakePatch> patches;
    std::map<std::wstring, FakeProduct> products;
    // MsiApplyPatchW results per file name, taken one per call; 0 once a list is used up.
    std::map<std::wstring, std::deque<UINT>> applyResults;
    // MsiBeginTransactionW results, taken one per call; beginResult once the list is used up.
    std::deque<UINT> beginResults;
    UINT beginResult = ERROR_SUCCESS;
    UINT endResult = ERROR_SUCCESS;
    FakeRestart restart;
    // When set, every MsiApplyPatchW waits until this event is signalled: holds a run in progress.
    HANDLE holdApply = nullptr;
    // The directory whose paths the record shows as "<dir>".
    std::wstring extractDir;

    // Every call in order.
    std::vector<Call> calls;
    // The calls of these functions, in order.
    [[nodiscard]] std::vector<Call> Calls(std::initializer_list<std::wstring_view> functions) const;
    // That argument of every call of `function`, in order.
    [[nodiscard]] std::vector<std::wstring> Args(std::wstring_view function, std::wstring_view parameter) const;
    // From now on the program's log lines go into Events() as well.
    void RecordLogLines() { log_.emplace(); }
    // The calls and, once recorded, the log lines, in the order they happened.
    [[nodiscard]] std::vector<Call> Events();
    // Each a failure: a handle left open (neither closed nor taken over by MsiEndTransaction), a close of a
    // handle that was not open, a transaction handle closed after its end, a transaction ended twice or begun
    // while another was open, and a template asked for without a buffer or as a number or a time.
    [[nodiscard]] std::vector<std::wstring> HandleFaults() const;

    // The dialog's status line, recorded as a call "ShowStatus(text)".
    void Show(const wchar_t* text) override;

private:
    // What a summary handle's template property gives.
    struct Template {
        std::wstring value;
        UINT probeResult;
        UINT readResult;
    };
    // Records the call with each argument as text, as Call shows it.
    template <typename... Values>
    FakeInstaller& Record(const wchar_t* function, const Values&... args);
    void TakeLogLines();
    MSIHANDLE Issue();
    // The scripted product of that code, or null.
    const FakeProduct* Product(const wchar_t* productCode) const;
    std::wstring Shown(const std::wstring& path) const;

    InstallerApi table_;
    MSIHANDLE nextHandle_ = 1;
    std::set<MSIHANDLE> openHandles_;
    MSIHANDLE openTransaction_ = 0;
    std::set<MSIHANDLE> endedTransactions_;
    std::map<MSIHANDLE, std::wstring> patchFiles_;  // of each database handle
    std::map<MSIHANDLE, Template> templates_;       // of each summary handle
    std::vector<std::wstring> handleFaults_;
    std::optional<LogCapture> log_;
    std::size_t logLinesTaken_ = 0;
    std::vector<Call> events_;
};

}  // namespace corvantile::testing
