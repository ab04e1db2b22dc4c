#include "tests/engine/FakeInstaller.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <stdexcept>
#include <utility>

namespace corvantile::testing {

namespace {

FakeInstaller* active = nullptr;

const HANDLE kFakeToken = reinterpret_cast<HANDLE>(std::uintptr_t{0x7070});
const HWINSTA kFakeStation = reinterpret_cast<HWINSTA>(std::uintptr_t{0x5150});
constexpr DWORD kShutdownLuid = 19;

std::wstring Hex(std::uint64_t value) {
    wchar_t text[24];
    std::swprintf(text, 24, L"0x%llx", static_cast<unsigned long long>(value));
    return text;
}

// An argument as text: a text as it is or "null", a number in decimal.
std::wstring Text(const wchar_t* text) { return text == nullptr ? L"null" : std::wstring(text); }
std::wstring Text(const std::wstring& text) { return text; }
template <typename Number>
std::wstring Text(Number number) {
    return std::to_wstring(number);
}

std::wstring Handle(MSIHANDLE handle) { return L"#" + std::to_wstring(handle); }

std::wstring Given(const void* pointer) { return pointer == nullptr ? L"null" : L"non-null"; }

std::wstring FileName(const std::wstring& path) { return path.substr(path.rfind(L'\\') + 1); }

std::wstring PackagePath(const std::wstring& productCode) {
    return L"C:\\Windows\\Installer\\" + productCode + L".msi";
}

// The front of a list of scripted results, or `otherwise` once it is used up.
UINT Take(std::deque<UINT>& results, UINT otherwise) {
    if (results.empty()) return otherwise;
    const UINT result = results.front();
    results.pop_front();
    return result;
}

// Each function's parameters, in the order of its arguments in a Call.
const std::map<std::wstring_view, std::vector<std::wstring_view>> kParameters = {
    {L"MsiOpenDatabaseW", {L"path", L"persist"}},
    {L"MsiGetSummaryInformationW", {L"database", L"path", L"updateCount"}},
    {L"MsiSummaryInfoGetPropertyW", {L"summary", L"property", L"countChars"}},
    {L"MsiQueryProductStateW", {L"productCode"}},
    {L"MsiGetProductInfoW", {L"productCode", L"property", L"buffer", L"countChars"}},
    {L"MsiDeterminePatchSequenceW", {L"productCode", L"userSid", L"context", L"count", L"patches"}},
    {L"MsiSetInternalUI", {L"level", L"window"}},
    {L"MsiEnableLogW", {L"mode", L"path", L"attributes"}},
    {L"MsiApplyPatchW", {L"path", L"package", L"type", L"commandLine"}},
    {L"MsiBeginTransactionW", {L"name", L"attributes"}},
    {L"MsiEndTransaction", {L"state"}},
    {L"MsiCloseHandle", {L"handle"}},
    {L"ShowStatus", {L"text"}},
    {L"GetProcessWindowStation", {}},
    {L"GetUserObjectInformationW", {L"object", L"index", L"bytes"}},
    {L"MessageBoxW", {L"owner", L"text", L"caption", L"type"}},
    {L"OpenProcessToken", {L"process", L"access"}},
    {L"LookupPrivilegeValueW", {L"system", L"name"}},
    {L"AdjustTokenPrivileges", {L"token", L"disableAll", L"privileges", L"bufferBytes", L"previous", L"returnBytes"}},
    {L"CloseHandle", {L"handle"}},
    {L"ExitWindowsEx", {L"flags", L"reason"}},
    {L"Sleep", {L"milliseconds"}},
    {L"log", {L"line"}},
};

// A scripted failure, or `value` copied the way the Installer does: the whole text when it fits with its NUL,
// else only the length.
UINT ReturnText(UINT result, const std::wstring& value, LPWSTR buffer, LPDWORD countChars) {
    if (result != ERROR_SUCCESS) return result;
    const DWORD capacity = *countChars;
    *countChars = static_cast<DWORD>(value.size());
    if (buffer == nullptr) return ERROR_SUCCESS;
    if (capacity <= value.size()) return ERROR_MORE_DATA;
    std::wmemcpy(buffer, value.c_str(), value.size() + 1);
    return ERROR_SUCCESS;
}

FakeInstaller& Fake() {
    if (active == nullptr) throw std::logic_error("no active FakeInstaller");
    return *active;
}

}  // namespace

const std::wstring& Call::Arg(std::wstring_view parameter) const {
    const std::vector<std::wstring_view>& names = kParameters.at(function);
    const auto name = std::find(names.begin(), names.end(), parameter);
    if (name == names.end()) throw std::logic_error("no such parameter");
    return args.at(static_cast<std::size_t>(name - names.begin()));
}

std::wstring Call::Text() const {
    if (function == L"log") return L"log: " + args.at(0);
    std::wstring text = function + L"(";
    for (std::size_t i = 0; i < args.size(); ++i) text += (i == 0 ? L"" : L", ") + args[i];
    return text + L")";
}

void PrintTo(const Call& call, std::ostream* out) { *out << ::testing::PrintToString(call.Text()); }

std::wstring Transcript(const std::vector<Call>& calls) {
    std::wstring text;
    for (const Call& call : calls) text += call.Text() + L"\n";
    return text;
}

template <typename... Values>
FakeInstaller& FakeInstaller::Record(const wchar_t* function, const Values&... args) {
    TakeLogLines();
    calls.emplace_back(function, Text(args)...);
    events_.push_back(calls.back());
    return *this;
}

// The table's entries: each records its call and answers from the script of the active fake. On x64 a lambda
// without captures converts to any of the table's calling conventions.
FakeInstaller::FakeInstaller() {
    if (active != nullptr) throw std::logic_error("one FakeInstaller at a time");
    active = this;
    table_.openDatabase = [](LPCWSTR path, LPCWSTR persist, MSIHANDLE* database) -> UINT {
        FakeInstaller& fake =
            Fake().Record(L"MsiOpenDatabaseW", Fake().Shown(path), reinterpret_cast<std::uintptr_t>(persist));
        const auto patch = fake.patches.find(FileName(path));
        if (patch == fake.patches.end()) return ERROR_INSTALL_PACKAGE_INVALID;
        if (patch->second.openResult != ERROR_SUCCESS) return patch->second.openResult;
        *database = fake.Issue();
        fake.patchFiles_[*database] = patch->first;
        return ERROR_SUCCESS;
    };
    table_.getSummaryInformation = [](MSIHANDLE database, LPCWSTR path, UINT updateCount, MSIHANDLE* summary) -> UINT {
        FakeInstaller& fake = Fake().Record(L"MsiGetSummaryInformationW", Handle(database), path, updateCount);
        if (database != 0) {
            const FakePatch& patch = fake.patches.at(fake.patchFiles_.at(database));
            if (patch.summaryResult != ERROR_SUCCESS) return patch.summaryResult;
            *summary = fake.Issue();
            fake.templates_[*summary] = {patch.targets, patch.templateProbeResult, patch.templateReadResult};
            return ERROR_SUCCESS;
        }
        for (const auto& [code, product] : fake.products) {
            if (Text(path) != PackagePath(code)) continue;
            if (product.packageSummaryResult != ERROR_SUCCESS) return product.packageSummaryResult;
            *summary = fake.Issue();
            fake.templates_[*summary] = {product.packageTemplate, product.packageTemplateProbeResult,
                                         product.packageTemplateReadResult};
            return ERROR_SUCCESS;
        }
        return ERROR_OPEN_FAILED;
    };
    table_.summaryInfoGetProperty = [](MSIHANDLE summary, UINT property, UINT* dataType, INT* integer, FILETIME* time,
                                       LPWSTR buffer, LPDWORD countChars) -> UINT {
        const DWORD capacity = *countChars;
        FakeInstaller& fake = Fake().Record(L"MsiSummaryInfoGetPropertyW", Handle(summary), property, capacity);
        if (property != 7) throw std::logic_error("only the template is scripted");
        const Template& found = fake.templates_.at(summary);
        if (dataType != nullptr) *dataType = 30;  // VT_LPSTR
        if (integer != nullptr || time != nullptr) fake.handleFaults_.push_back(L"the template asked for as a number");
        // The Installer writes a NUL into the buffer of a length probe too.
        if (buffer == nullptr) {
            fake.handleFaults_.push_back(L"template length probe with a null buffer");
            return ERROR_INVALID_PARAMETER;
        }
        if (capacity == 0) {
            *countChars = static_cast<DWORD>(found.value.size());
            return found.probeResult;
        }
        return ReturnText(found.readResult, found.value, buffer, countChars);
    };
    table_.queryProductState = [](LPCWSTR productCode) -> INSTALLSTATE {
        const FakeProduct* product = Fake().Record(L"MsiQueryProductStateW", productCode).Product(productCode);
        return product == nullptr ? INSTALLSTATE_UNKNOWN : product->state;
    };
    table_.getProductInfo = [](LPCWSTR productCode, LPCWSTR property, LPWSTR buffer, LPDWORD countChars) -> UINT {
        FakeInstaller& fake = Fake().Record(L"MsiGetProductInfoW", productCode, property, Given(buffer), *countChars);
        const FakeProduct* product = fake.Product(productCode);
        if (product == nullptr) return ERROR_UNKNOWN_PRODUCT;
        if (Text(property) == INSTALLPROPERTY_LOCALPACKAGE) {
            return ReturnText(buffer == nullptr ? product->localPackageProbeResult : product->localPackageReadResult,
                              PackagePath(productCode), buffer, countChars);
        }
        if (Text(property) != INSTALLPROPERTY_INSTALLEDPRODUCTNAME || !product->installedName) {
            return ERROR_UNKNOWN_PROPERTY;
        }
        return ReturnText(buffer == nullptr ? ERROR_SUCCESS : product->installedNameReadResult, *product->installedName,
                          buffer, countChars);
    };
    table_.determinePatchSequence = [](LPCWSTR productCode, LPCWSTR userSid, MSIINSTALLCONTEXT context, DWORD count,
                                       PMSIPATCHSEQUENCEINFOW elements) -> UINT {
        std::wstring patches;
        for (DWORD i = 0; i < count; ++i) {
            patches += std::wstring(i == 0 ? L"[" : L" [") + Fake().Shown(elements[i].szPatchData) + L" type=" +
                       std::to_wstring(elements[i].ePatchDataType) + L" order=" +
                       std::to_wstring(static_cast<std::int32_t>(elements[i].dwOrder)) + L" status=" +
                       std::to_wstring(elements[i].uStatus) + L"]";
        }
        FakeInstaller& fake =
            Fake().Record(L"MsiDeterminePatchSequenceW", productCode, userSid, context, count, patches);
        const FakeProduct* product = fake.Product(productCode);
        if (product == nullptr) return ERROR_UNKNOWN_PRODUCT;
        if (product->sequenceResult != ERROR_SUCCESS) return product->sequenceResult;
        for (DWORD i = 0; i < count; ++i) {
            const bool scripted = i < product->sequence.size();
            elements[i].dwOrder =
                static_cast<DWORD>(scripted ? product->sequence[i].order : static_cast<std::int32_t>(i));
            elements[i].uStatus = scripted ? product->sequence[i].status : ERROR_SUCCESS;
        }
        return ERROR_SUCCESS;
    };
    table_.setInternalUI = [](INSTALLUILEVEL level, HWND* window) -> INSTALLUILEVEL {
        Fake().Record(L"MsiSetInternalUI", level, Given(window));
        return INSTALLUILEVEL_DEFAULT;
    };
    table_.enableLog = [](DWORD mode, LPCWSTR path, DWORD attributes) -> UINT {
        Fake().Record(L"MsiEnableLogW", Hex(mode), path, attributes);
        return ERROR_SUCCESS;
    };
    table_.applyPatch = [](LPCWSTR path, LPCWSTR package, INSTALLTYPE type, LPCWSTR commandLine) -> UINT {
        FakeInstaller& fake = Fake().Record(L"MsiApplyPatchW", Fake().Shown(path), package, type, commandLine);
        if (fake.holdApply != nullptr) ::WaitForSingleObject(fake.holdApply, INFINITE);
        return Take(fake.applyResults[FileName(path)], ERROR_SUCCESS);
    };
    table_.beginTransaction = [](LPCWSTR name, DWORD attributes, MSIHANDLE* transaction,
                                 HANDLE* changeOfOwnerEvent) -> UINT {
        FakeInstaller& fake = Fake().Record(L"MsiBeginTransactionW", name, attributes);
        const UINT result = Take(fake.beginResults, fake.beginResult);
        if (result != ERROR_SUCCESS) return result;
        if (fake.openTransaction_ != 0) fake.handleFaults_.push_back(L"a transaction begun while another was open");
        *transaction = fake.Issue();
        fake.openTransaction_ = *transaction;
        // Not a handle: any use of it by the engine would show as a failure of that call.
        *changeOfOwnerEvent = reinterpret_cast<HANDLE>(std::uintptr_t{0xdeadbeef});
        return ERROR_SUCCESS;
    };
    table_.endTransaction = [](DWORD state) -> UINT {
        FakeInstaller& fake = Fake().Record(L"MsiEndTransaction", state);
        if (fake.openTransaction_ == 0) {
            fake.handleFaults_.push_back(L"MsiEndTransaction without an open transaction");
            return ERROR_INVALID_HANDLE_STATE;
        }
        // The Installer takes the ended transaction's handle over: the caller must not close it.
        fake.openHandles_.erase(fake.openTransaction_);
        fake.endedTransactions_.insert(std::exchange(fake.openTransaction_, 0));
        return fake.endResult;
    };
    table_.closeHandle = [](MSIHANDLE handle) -> UINT {
        FakeInstaller& fake = Fake().Record(L"MsiCloseHandle", Handle(handle));
        if (fake.endedTransactions_.count(handle) != 0) {
            fake.handleFaults_.push_back(L"closed transaction " + Handle(handle) + L" after MsiEndTransaction");
            return ERROR_INVALID_HANDLE;
        }
        if (handle == fake.openTransaction_) fake.openTransaction_ = 0;
        if (fake.openHandles_.erase(handle) == 0) {
            fake.handleFaults_.push_back(L"closed " + Handle(handle) + L", which was not open");
            return ERROR_INVALID_HANDLE;
        }
        return ERROR_SUCCESS;
    };
    table_.getProcessWindowStation = []() -> HWINSTA {
        Fake().Record(L"GetProcessWindowStation");
        return kFakeStation;
    };
    table_.getUserObjectInformation = [](HANDLE object, int index, PVOID information, DWORD bytes,
                                         LPDWORD neededBytes) -> BOOL {
        FakeInstaller& fake =
            Fake().Record(L"GetUserObjectInformationW", object == kFakeStation ? L"station" : L"other", index, bytes);
        if (!fake.restart.windowStationFlags || index != UOI_FLAGS || bytes < sizeof(USEROBJECTFLAGS)) return FALSE;
        *static_cast<USEROBJECTFLAGS*>(information) = {FALSE, FALSE, *fake.restart.windowStationFlags};
        if (neededBytes != nullptr) *neededBytes = sizeof(USEROBJECTFLAGS);
        return TRUE;
    };
    table_.messageBox = [](HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) -> int {
        const std::wstring shownOwner = Hex(reinterpret_cast<std::uintptr_t>(owner));
        return Fake().Record(L"MessageBoxW", shownOwner, text, caption, type).restart.messageBoxAnswer;
    };
    table_.openProcessToken = [](HANDLE process, DWORD access, HANDLE* token) -> BOOL {
        FakeInstaller& fake = Fake().Record(
            L"OpenProcessToken", process == ::GetCurrentProcess() ? L"current process" : L"other", Hex(access));
        if (fake.restart.openTokenResult) *token = kFakeToken;
        return fake.restart.openTokenResult;
    };
    table_.lookupPrivilegeValue = [](LPCWSTR system, LPCWSTR name, LUID* luid) -> BOOL {
        const BOOL found = Fake().Record(L"LookupPrivilegeValueW", system, name).restart.lookupPrivilegeResult;
        if (found) *luid = LUID{kShutdownLuid, 0};
        return found;
    };
    table_.adjustTokenPrivileges = [](HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES privileges, DWORD bufferBytes,
                                      PTOKEN_PRIVILEGES previous, PDWORD returnBytes) -> BOOL {
        std::wstring entries;
        for (DWORD i = 0; privileges != nullptr && i < privileges->PrivilegeCount; ++i) {
            entries += std::wstring(i == 0 ? L"{luid=" : L" {luid=") +
                       std::to_wstring(privileges->Privileges[i].Luid.LowPart) + L" attributes=" +
                       std::to_wstring(privileges->Privileges[i].Attributes) + L"}";
        }
        Fake().Record(L"AdjustTokenPrivileges", token == kFakeToken ? L"token" : L"other", disableAll, entries,
                      bufferBytes, Given(previous), Given(returnBytes));
        // The adjustment fails without the privilege, which the caller does not look at.
        return FALSE;
    };
    table_.closeKernelHandle = [](HANDLE handle) -> BOOL {
        FakeInstaller& fake = Fake().Record(L"CloseHandle", handle == kFakeToken ? L"token" : L"other");
        if (handle != kFakeToken) fake.handleFaults_.push_back(L"CloseHandle of a handle that is no token");
        return handle == kFakeToken;
    };
    table_.exitWindows = [](UINT flags, DWORD reason) -> BOOL {
        return Fake().Record(L"ExitWindowsEx", Hex(flags), Hex(reason)).restart.exitWindowsResult;
    };
    table_.sleep = [](DWORD milliseconds) { Fake().Record(L"Sleep", milliseconds); };
}

FakeInstaller::~FakeInstaller() { active = nullptr; }

const InstallerApi* FakeInstaller::Load() { return &Fake().table_; }

std::vector<Call> FakeInstaller::Events() {
    TakeLogLines();
    return events_;
}

// The lines logged since the last call: the log is read back at each call, so lines and calls interleave.
void FakeInstaller::TakeLogLines() {
    if (!log_) return;
    const std::vector<std::wstring> lines = log_->Lines();
    for (; logLinesTaken_ < lines.size(); ++logLinesTaken_) events_.push_back(LogLine(lines[logLinesTaken_]));
}

std::vector<Call> FakeInstaller::Calls(std::initializer_list<std::wstring_view> functions) const {
    std::vector<Call> matching;
    for (const Call& call : calls) {
        if (std::find(functions.begin(), functions.end(), call.function) != functions.end()) matching.push_back(call);
    }
    return matching;
}

std::vector<std::wstring> FakeInstaller::Args(std::wstring_view function, std::wstring_view parameter) const {
    std::vector<std::wstring> values;
    for (const Call& call : Calls({function})) values.push_back(call.Arg(parameter));
    return values;
}

void FakeInstaller::Show(const wchar_t* text) { Record(L"ShowStatus", text); }

std::vector<std::wstring> FakeInstaller::HandleFaults() const {
    std::vector<std::wstring> faults = handleFaults_;
    for (const MSIHANDLE handle : openHandles_) faults.push_back(L"handle " + Handle(handle) + L" was left open");
    return faults;
}

MSIHANDLE FakeInstaller::Issue() {
    openHandles_.insert(nextHandle_);
    return nextHandle_++;
}

const FakeProduct* FakeInstaller::Product(const wchar_t* productCode) const {
    const auto product = products.find(productCode);
    return product == products.end() ? nullptr : &product->second;
}

std::wstring FakeInstaller::Shown(const std::wstring& path) const {
    const std::wstring prefix = extractDir + L'\\';
    if (!extractDir.empty() && path.rfind(prefix, 0) == 0) return L"<dir>\\" + path.substr(prefix.size());
    return path;
}

}  // namespace corvantile::testing
