#include "tests/engine/FakeInstaller.h"

#include <cwchar>
#include <stdexcept>
#include <utility>

namespace corvantile::testing {

namespace {

FakeInstaller* active = nullptr;

const HWND kNoWindow = nullptr;
const HANDLE kFakeToken = reinterpret_cast<HANDLE>(std::uintptr_t{0x7070});
const HWINSTA kFakeStation = reinterpret_cast<HWINSTA>(std::uintptr_t{0x5150});
constexpr DWORD kShutdownLuid = 19;

std::wstring Hex(std::uint64_t value) {
    wchar_t text[24];
    std::swprintf(text, 24, L"0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::wstring Text(const wchar_t* text) {
    return text == nullptr ? L"null" : std::wstring(text);
}

std::wstring Handle(MSIHANDLE handle) {
    return L"#" + std::to_wstring(handle);
}

std::wstring Window(HWND window) {
    return window == kNoWindow ? L"null" : Hex(reinterpret_cast<std::uintptr_t>(window));
}

// Copies `value` the way the Installer does: the whole text when it fits with its NUL, else only the length.
UINT ReturnText(const std::wstring& value, LPWSTR buffer, LPDWORD countChars) {
    const DWORD capacity = *countChars;
    *countChars = static_cast<DWORD>(value.size());
    if (buffer == nullptr) return ERROR_SUCCESS;
    if (capacity <= value.size()) return ERROR_MORE_DATA;
    std::wmemcpy(buffer, value.c_str(), value.size() + 1);
    return ERROR_SUCCESS;
}

}  // namespace

// The table's entries: each records its call and answers from the script of the active fake.
struct FakeCalls {
    static FakeInstaller& Fake() {
        if (active == nullptr) throw std::logic_error("no active FakeInstaller");
        return *active;
    }

    static UINT WINAPI OpenDatabaseCall(LPCWSTR path, LPCWSTR persist, MSIHANDLE* database) {
        FakeInstaller& fake = Fake();
        fake.Record(L"MsiOpenDatabaseW(" + fake.Shown(path) + L", " +
                             std::to_wstring(reinterpret_cast<std::uintptr_t>(persist)) + L")");
        const auto patch = fake.patches.find(fake.FileName(path));
        if (patch == fake.patches.end()) return ERROR_INSTALL_PACKAGE_INVALID;
        if (patch->second.openResult != ERROR_SUCCESS) return patch->second.openResult;
        *database = fake.Issue(L"patch:" + patch->first);
        return ERROR_SUCCESS;
    }

    static UINT WINAPI GetSummaryInformationCall(MSIHANDLE database, LPCWSTR path, UINT updateCount,
                                             MSIHANDLE* summary) {
        FakeInstaller& fake = Fake();
        fake.Record(L"MsiGetSummaryInformationW(" + Handle(database) + L", " + Text(path) + L", " +
                             std::to_wstring(updateCount) + L")");
        if (database != 0) {
            const std::wstring& content = fake.handleContent_[database];
            if (content.rfind(L"patch:", 0) != 0) throw std::logic_error("summary of a handle that is no patch");
            const std::wstring fileName = content.substr(6);
            const UINT result = fake.patches.at(fileName).summaryResult;
            if (result != ERROR_SUCCESS) return result;
            *summary = fake.Issue(L"summary:patch:" + fileName);
            return ERROR_SUCCESS;
        }
        for (const auto& [code, product] : fake.products) {
            if (Text(path) != PackagePath(code)) continue;
            if (product.packageSummaryResult != ERROR_SUCCESS) return product.packageSummaryResult;
            *summary = fake.Issue(L"summary:package:" + code);
            return ERROR_SUCCESS;
        }
        return ERROR_OPEN_FAILED;
    }

    static UINT WINAPI SummaryInfoGetPropertyCall(MSIHANDLE summary, UINT property, UINT* dataType, INT* integer,
                                              FILETIME* time, LPWSTR buffer, LPDWORD countChars) {
        FakeInstaller& fake = Fake();
        const DWORD capacity = *countChars;
        fake.Record(L"MsiSummaryInfoGetPropertyW(" + Handle(summary) + L", " + std::to_wstring(property) +
                             L", " + std::wstring(integer == nullptr && time == nullptr ? L"" : L"non-null, ") +
                             L"count=" + std::to_wstring(capacity) + L")");
        if (property != 7) throw std::logic_error("only the template is scripted");
        const std::wstring& content = fake.handleContent_[summary];
        std::wstring value;
        UINT probeResult = ERROR_MORE_DATA;
        UINT readResult = ERROR_SUCCESS;
        if (content.rfind(L"summary:patch:", 0) == 0) {
            const FakePatch& patch = fake.patches.at(content.substr(14));
            value = patch.targets;
            probeResult = patch.templateProbeResult;
            readResult = patch.templateReadResult;
        } else if (content.rfind(L"summary:package:", 0) == 0) {
            const FakeProduct& product = fake.products.at(content.substr(16));
            value = product.packageTemplate;
            probeResult = product.packageTemplateProbeResult;
            readResult = product.packageTemplateReadResult;
        } else {
            throw std::logic_error("property of a handle that is no summary");
        }
        if (dataType != nullptr) *dataType = 30;  // VT_LPSTR
        // The Installer writes a NUL into the buffer of a length probe too.
        if (buffer == nullptr) {
            fake.handleFaults_.push_back(L"template length probe with a null buffer");
            return ERROR_INVALID_PARAMETER;
        }
        if (capacity == 0) {
            *countChars = static_cast<DWORD>(value.size());
            return probeResult;
        }
        if (readResult != ERROR_SUCCESS) return readResult;
        return ReturnText(value, buffer, countChars);
    }

    static INSTALLSTATE WINAPI QueryProductStateCall(LPCWSTR productCode) {
        FakeInstaller& fake = Fake();
        fake.Record(L"MsiQueryProductStateW(" + Text(productCode) + L")");
        const auto product = fake.products.find(productCode);
        return product == fake.products.end() ? INSTALLSTATE_UNKNOWN : product->second.state;
    }

    static UINT WINAPI GetProductInfoCall(LPCWSTR productCode, LPCWSTR property, LPWSTR buffer, LPDWORD countChars) {
        FakeInstaller& fake = Fake();
        fake.Record(L"MsiGetProductInfoW(" + Text(productCode) + L", " + Text(property) + L", " +
                             (buffer == nullptr ? L"null" : L"buffer") + L", " + std::to_wstring(*countChars) +
                             L")");
        const auto product = fake.products.find(productCode);
        if (product == fake.products.end()) return ERROR_UNKNOWN_PRODUCT;
        if (Text(property) == INSTALLPROPERTY_LOCALPACKAGE) {
            if (buffer == nullptr && product->second.localPackageProbeResult != ERROR_SUCCESS) {
                return product->second.localPackageProbeResult;
            }
            if (buffer != nullptr && product->second.localPackageReadResult != ERROR_SUCCESS) {
                return product->second.localPackageReadResult;
            }
            return ReturnText(PackagePath(productCode), buffer, countChars);
        }
        if (Text(property) == INSTALLPROPERTY_INSTALLEDPRODUCTNAME) {
            if (!product->second.installedName) return ERROR_UNKNOWN_PROPERTY;
            if (buffer != nullptr && product->second.installedNameReadResult != ERROR_SUCCESS) {
                return product->second.installedNameReadResult;
            }
            return ReturnText(*product->second.installedName, buffer, countChars);
        }
        return ERROR_UNKNOWN_PROPERTY;
    }

    static UINT WINAPI DeterminePatchSequenceCall(LPCWSTR productCode, LPCWSTR userSid, MSIINSTALLCONTEXT context,
                                              DWORD count, PMSIPATCHSEQUENCEINFOW elements) {
        FakeInstaller& fake = Fake();
        std::wstring line = L"MsiDeterminePatchSequenceW(" + Text(productCode) + L", " + Text(userSid) + L", " +
                            std::to_wstring(context) + L", " + std::to_wstring(count) + L",";
        for (DWORD i = 0; i < count; ++i) {
            line += L" [" + fake.Shown(elements[i].szPatchData) + L" type=" +
                    std::to_wstring(elements[i].ePatchDataType) + L" order=" +
                    std::to_wstring(static_cast<std::int32_t>(elements[i].dwOrder)) + L" status=" +
                    std::to_wstring(elements[i].uStatus) + L"]";
        }
        fake.Record(line + L")");
        const auto product = fake.products.find(productCode);
        if (product == fake.products.end()) return ERROR_UNKNOWN_PRODUCT;
        if (product->second.sequenceResult != ERROR_SUCCESS) return product->second.sequenceResult;
        for (DWORD i = 0; i < count; ++i) {
            const bool scripted = i < product->second.sequence.size();
            elements[i].dwOrder =
                static_cast<DWORD>(scripted ? product->second.sequence[i].order : static_cast<std::int32_t>(i));
            elements[i].uStatus = scripted ? product->second.sequence[i].status : ERROR_SUCCESS;
        }
        return ERROR_SUCCESS;
    }

    static INSTALLUILEVEL WINAPI SetInternalUICall(INSTALLUILEVEL level, HWND* window) {
        Fake().Record(L"MsiSetInternalUI(" + std::to_wstring(level) + L", " +
                               (window == nullptr ? L"null" : L"non-null") + L")");
        return INSTALLUILEVEL_DEFAULT;
    }

    static UINT WINAPI EnableLogCall(DWORD mode, LPCWSTR path, DWORD attributes) {
        Fake().Record(L"MsiEnableLogW(" + Hex(mode) + L", " + Text(path) + L", " +
                               std::to_wstring(attributes) + L")");
        return ERROR_SUCCESS;
    }

    static UINT WINAPI ApplyPatchCall(LPCWSTR path, LPCWSTR package, INSTALLTYPE type, LPCWSTR commandLine) {
        FakeInstaller& fake = Fake();
        fake.Record(L"MsiApplyPatchW(" + fake.Shown(path) + L", " + Text(package) + L", " +
                             std::to_wstring(type) + L", " + Text(commandLine) + L")");
        if (fake.holdApply != nullptr) ::WaitForSingleObject(fake.holdApply, INFINITE);
        std::deque<UINT>& results = fake.applyResults[fake.FileName(path)];
        if (results.empty()) return ERROR_SUCCESS;
        const UINT result = results.front();
        results.pop_front();
        return result;
    }

    static UINT WINAPI BeginTransactionCall(LPCWSTR name, DWORD attributes, MSIHANDLE* transaction,
                                        HANDLE* changeOfOwnerEvent) {
        FakeInstaller& fake = Fake();
        fake.Record(L"MsiBeginTransactionW(" + Text(name) + L", " + std::to_wstring(attributes) + L")");
        UINT result = fake.beginResult;
        if (!fake.beginResults.empty()) {
            result = fake.beginResults.front();
            fake.beginResults.pop_front();
        }
        if (result != ERROR_SUCCESS) return result;
        if (fake.openTransaction_ != 0) fake.handleFaults_.push_back(L"a transaction begun while another was open");
        *transaction = fake.Issue(L"transaction");
        fake.openTransaction_ = *transaction;
        // Not a handle: any use of it by the engine would show as a failure of that call.
        *changeOfOwnerEvent = reinterpret_cast<HANDLE>(std::uintptr_t{0xdeadbeef});
        return ERROR_SUCCESS;
    }

    static UINT WINAPI EndTransactionCall(DWORD state) {
        FakeInstaller& fake = Fake();
        fake.Record(L"MsiEndTransaction(" + std::to_wstring(state) + L")");
        if (fake.openTransaction_ == 0) {
            fake.handleFaults_.push_back(L"MsiEndTransaction without an open transaction");
            return ERROR_INVALID_HANDLE_STATE;
        }
        // The Installer takes the ended transaction's handle over: the caller must not close it.
        fake.openHandles_.erase(fake.openTransaction_);
        fake.endedTransactions_.insert(std::exchange(fake.openTransaction_, 0));
        return fake.endResult;
    }

    static UINT WINAPI CloseHandleCall(MSIHANDLE handle) {
        FakeInstaller& fake = Fake();
        fake.Record(L"MsiCloseHandle(" + Handle(handle) + L")");
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
    }

    static LRESULT WINAPI SendMessageCall(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        FakeInstaller& fake = Fake();
        const auto* text = reinterpret_cast<const wchar_t*>(wParam);
        fake.Record(L"SendMessageW(" + Window(window) + L", " + Hex(message) + L", " + Text(text) + L", " +
                             std::to_wstring(lParam) + L")");
        fake.statusTexts.push_back(Text(text));
        return fake.forwardMessages ? ::SendMessageW(window, message, wParam, lParam) : 0;
    }

    static HWINSTA WINAPI GetProcessWindowStationCall() {
        Fake().Record(L"GetProcessWindowStation()");
        return kFakeStation;
    }

    static BOOL WINAPI GetUserObjectInformationCall(HANDLE object, int index, PVOID information, DWORD bytes,
                                                    LPDWORD neededBytes) {
        FakeInstaller& fake = Fake();
        fake.Record(std::wstring(L"GetUserObjectInformationW(") +
                             (object == kFakeStation ? L"station" : L"other") + L", " + std::to_wstring(index) +
                             L", " + std::to_wstring(bytes) + L")");
        if (!fake.windowStationFlags || index != UOI_FLAGS || bytes < sizeof(USEROBJECTFLAGS)) return FALSE;
        auto* flags = static_cast<USEROBJECTFLAGS*>(information);
        *flags = USEROBJECTFLAGS{};
        flags->dwFlags = *fake.windowStationFlags;
        if (neededBytes != nullptr) *neededBytes = sizeof(USEROBJECTFLAGS);
        return TRUE;
    }

    static int WINAPI MessageBoxCall(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
        FakeInstaller& fake = Fake();
        fake.Record(L"MessageBoxW(" + Window(owner) + L", " + Text(text) + L", " + Text(caption) + L", " +
                             std::to_wstring(type) + L")");
        return fake.messageBoxAnswer;
    }

    static BOOL WINAPI OpenProcessTokenCall(HANDLE process, DWORD access, HANDLE* token) {
        FakeInstaller& fake = Fake();
        fake.Record(std::wstring(L"OpenProcessToken(") +
                             (process == ::GetCurrentProcess() ? L"current process" : L"other") + L", " +
                             Hex(access) + L")");
        if (!fake.openTokenResult) return FALSE;
        *token = kFakeToken;
        return TRUE;
    }

    static BOOL WINAPI LookupPrivilegeValueCall(LPCWSTR system, LPCWSTR name, LUID* luid) {
        FakeInstaller& fake = Fake();
        fake.Record(L"LookupPrivilegeValueW(" + Text(system) + L", " + Text(name) + L")");
        if (!fake.lookupPrivilegeResult) return FALSE;
        luid->LowPart = kShutdownLuid;
        luid->HighPart = 0;
        return TRUE;
    }

    static BOOL WINAPI AdjustTokenPrivilegesCall(HANDLE token, BOOL disableAll, PTOKEN_PRIVILEGES privileges,
                                             DWORD bufferBytes, PTOKEN_PRIVILEGES previous, PDWORD returnBytes) {
        std::wstring entries;
        for (DWORD i = 0; privileges != nullptr && i < privileges->PrivilegeCount; ++i) {
            entries += L" {luid=" + std::to_wstring(privileges->Privileges[i].Luid.LowPart) + L" attributes=" +
                       std::to_wstring(privileges->Privileges[i].Attributes) + L"}";
        }
        Fake().Record(std::wstring(L"AdjustTokenPrivileges(") + (token == kFakeToken ? L"token" : L"other") +
                               L", " + std::to_wstring(disableAll) + L"," + entries + L", " +
                               std::to_wstring(bufferBytes) + L", " + (previous == nullptr ? L"null" : L"non-null") +
                               L", " + (returnBytes == nullptr ? L"null" : L"non-null") + L")");
        // The adjustment fails without the privilege, which the caller does not look at.
        return FALSE;
    }

    static BOOL WINAPI CloseKernelHandleCall(HANDLE handle) {
        FakeInstaller& fake = Fake();
        fake.Record(std::wstring(L"CloseHandle(") + (handle == kFakeToken ? L"token" : L"other") + L")");
        if (handle != kFakeToken) fake.handleFaults_.push_back(L"CloseHandle of a handle that is no token");
        return handle == kFakeToken;
    }

    static BOOL WINAPI ExitWindowsCall(UINT flags, DWORD reason) {
        FakeInstaller& fake = Fake();
        fake.Record(L"ExitWindowsEx(" + Hex(flags) + L", " + Hex(reason) + L")");
        return fake.exitWindowsResult;
    }

    static void WINAPI SleepCall(DWORD milliseconds) {
        Fake().Record(L"Sleep(" + std::to_wstring(milliseconds) + L")");
    }

    static std::wstring PackagePath(const std::wstring& productCode) {
        return L"C:\\Windows\\Installer\\" + productCode + L".msi";
    }
};

FakeInstaller::FakeInstaller() {
    if (active != nullptr) throw std::logic_error("one FakeInstaller at a time");
    active = this;
    table_.openDatabase = &FakeCalls::OpenDatabaseCall;
    table_.getSummaryInformation = &FakeCalls::GetSummaryInformationCall;
    table_.summaryInfoGetProperty = &FakeCalls::SummaryInfoGetPropertyCall;
    table_.queryProductState = &FakeCalls::QueryProductStateCall;
    table_.getProductInfo = &FakeCalls::GetProductInfoCall;
    table_.determinePatchSequence = &FakeCalls::DeterminePatchSequenceCall;
    table_.setInternalUI = &FakeCalls::SetInternalUICall;
    table_.enableLog = &FakeCalls::EnableLogCall;
    table_.applyPatch = &FakeCalls::ApplyPatchCall;
    table_.beginTransaction = &FakeCalls::BeginTransactionCall;
    table_.endTransaction = &FakeCalls::EndTransactionCall;
    table_.closeHandle = &FakeCalls::CloseHandleCall;
    table_.sendMessage = &FakeCalls::SendMessageCall;
    table_.getProcessWindowStation = &FakeCalls::GetProcessWindowStationCall;
    table_.getUserObjectInformation = &FakeCalls::GetUserObjectInformationCall;
    table_.messageBox = &FakeCalls::MessageBoxCall;
    table_.openProcessToken = &FakeCalls::OpenProcessTokenCall;
    table_.lookupPrivilegeValue = &FakeCalls::LookupPrivilegeValueCall;
    table_.adjustTokenPrivileges = &FakeCalls::AdjustTokenPrivilegesCall;
    table_.closeKernelHandle = &FakeCalls::CloseKernelHandleCall;
    table_.exitWindows = &FakeCalls::ExitWindowsCall;
    table_.sleep = &FakeCalls::SleepCall;
}

FakeInstaller::~FakeInstaller() {
    active = nullptr;
}

const InstallerApi* FakeInstaller::Load() {
    return &FakeCalls::Fake().table_;
}

std::vector<std::wstring> FakeInstaller::Events() {
    TakeLogLines();
    return events_;
}

void FakeInstaller::Record(std::wstring call) {
    TakeLogLines();
    events_.push_back(call);
    calls.push_back(std::move(call));
}

// The lines logged since the last call: the log is read back at each call, so lines and calls interleave.
void FakeInstaller::TakeLogLines() {
    if (!log_) return;
    const std::vector<std::wstring> lines = log_->Lines();
    for (; logLinesTaken_ < lines.size(); ++logLinesTaken_) events_.push_back(L"log: " + lines[logLinesTaken_]);
}

std::vector<std::wstring> FakeInstaller::CallsStartingWith(const std::wstring& prefix) const {
    std::vector<std::wstring> matching;
    for (const std::wstring& call : calls) {
        if (call.rfind(prefix, 0) == 0) matching.push_back(call);
    }
    return matching;
}

std::vector<std::wstring> FakeInstaller::HandleFaults() const {
    std::vector<std::wstring> faults = handleFaults_;
    if (openTransaction_ != 0) faults.push_back(L"transaction " + Handle(openTransaction_) + L" was never ended");
    return faults;
}

MSIHANDLE FakeInstaller::Issue(const std::wstring& what) {
    const MSIHANDLE handle = nextHandle_++;
    openHandles_.insert(handle);
    handleContent_[handle] = what;
    return handle;
}

std::wstring FakeInstaller::Shown(const std::wstring& path) const {
    const std::wstring prefix = extractDir + L'\\';
    if (!extractDir.empty() && path.rfind(prefix, 0) == 0) return L"<dir>\\" + path.substr(prefix.size());
    return path;
}

std::wstring FakeInstaller::FileName(const std::wstring& path) const {
    const std::size_t lastBackslash = path.rfind(L'\\');
    return lastBackslash == std::wstring::npos ? path : path.substr(lastBackslash + 1);
}

}  // namespace corvantile::testing
