// How OpenLog opens the log file when a link may have been planted at its name. Wine 8 shows no reparse point
// to a program: CreateSymbolicLinkW reports success and creates nothing, and a Unix symbolic link in a Wine
// drive reads as a plain file and is followed even with FILE_FLAG_OPEN_REPARSE_POINT. So this program puts
// recorders in front of the kernel32 calls that OpenLog makes, through its own import table: they show how
// the log is opened, and can make the opened file answer as a reparse point.
#include "base/Log.h"

#include "base/UniqueHandles.h"
#include "tests/support/Files.h"
#include "tests/support/TempDirectory.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

namespace corvantile {
namespace {

using testing::Bytes;
using testing::ReadFileBytes;
using testing::TempDirectory;

constexpr wchar_t kLogName[] = L"\\CorvantileUpdater.log";

// Points every import of `function` from kernel32 in this program at `replacement` while it lives.
class KernelImportReplacement {
public:
    KernelImportReplacement(const char* function, void* replacement) {
        auto* base = reinterpret_cast<std::uint8_t*>(::GetModuleHandleW(nullptr));
        const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
        for (auto* module = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
             module->Name != 0; ++module) {
            if (::_stricmp(reinterpret_cast<const char*>(base + module->Name), "kernel32.dll") != 0) continue;
            const auto* name = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + module->OriginalFirstThunk);
            auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + module->FirstThunk);
            for (; name->u1.AddressOfData != 0; ++name, ++slot) {
                if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) continue;
                const auto* byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData);
                if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) != 0) continue;
                originals_.push_back(reinterpret_cast<void*>(slot->u1.Function));
                slots_.push_back(slot);
                Write(slot, replacement);
            }
        }
    }
    KernelImportReplacement(const KernelImportReplacement&) = delete;
    KernelImportReplacement& operator=(const KernelImportReplacement&) = delete;
    ~KernelImportReplacement() {
        for (std::size_t i = 0; i < slots_.size(); ++i) Write(slots_[i], originals_[i]);
    }

    [[nodiscard]] bool Replaced() const { return !slots_.empty(); }

private:
    static void Write(IMAGE_THUNK_DATA* slot, void* target) {
        DWORD protection = 0;
        ::VirtualProtect(&slot->u1.Function, sizeof(slot->u1.Function), PAGE_READWRITE, &protection);
        slot->u1.Function = reinterpret_cast<ULONG_PTR>(target);
        ::VirtualProtect(&slot->u1.Function, sizeof(slot->u1.Function), protection, &protection);
    }

    std::vector<void*> originals_;
    std::vector<IMAGE_THUNK_DATA*> slots_;
};

// What the opened log file answers when asked what it is.
enum class Answer { AsItIs, ReparsePoint, QueryFails };

const char* Name(Answer answer) {
    switch (answer) {
        case Answer::AsItIs: return "PlainFile";
        case Answer::ReparsePoint: return "ReparsePoint";
        case Answer::QueryFails: return "QueryFails";
    }
    return "Unknown";
}
void PrintTo(Answer answer, std::ostream* out) {
    *out << Name(answer);
}

struct LogOpen {
    std::wstring path;
    DWORD disposition;
    DWORD flagsAndAttributes;
    HANDLE handle;
};

// The recorders' state: plain functions cannot capture.
std::vector<LogOpen> logOpens;
Answer answer = Answer::AsItIs;
// The functions themselves, from kernel32's exports: calls through the import table would reach the recorders.
template <typename Function>
Function Kernel32(const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void (*)()>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), name)));
}
const auto realCreateFile = Kernel32<decltype(&::CreateFileW)>("CreateFileW");
const auto realGetInformation = Kernel32<decltype(&::GetFileInformationByHandle)>("GetFileInformationByHandle");

bool NamesTheLog(const std::wstring& path) {
    const std::size_t length = std::wcslen(kLogName);
    return path.size() >= length && path.compare(path.size() - length, length, kLogName) == 0;
}

HANDLE WINAPI RecordingCreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                  DWORD disposition, DWORD flagsAndAttributes, HANDLE templateFile) {
    const HANDLE file = realCreateFile(name, access, share, security, disposition, flagsAndAttributes, templateFile);
    const DWORD error = ::GetLastError();
    if (name != nullptr && NamesTheLog(name)) logOpens.push_back({name, disposition, flagsAndAttributes, file});
    ::SetLastError(error);
    return file;
}

BOOL WINAPI ScriptedGetInformation(HANDLE file, LPBY_HANDLE_FILE_INFORMATION information) {
    const BOOL asked = realGetInformation(file, information);
    if (logOpens.empty() || file != logOpens.back().handle) return asked;
    if (answer == Answer::QueryFails) {
        ::SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    if (answer == Answer::ReparsePoint) information->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    return asked;
}

class OpenLogAtAPlantedLink : public ::testing::TestWithParam<Answer> {
protected:
    void SetUp() override {
        ASSERT_TRUE(createFile_.Replaced());
        // GetFileInformationByHandle has no slot to replace when nothing in this program calls it.
        logOpens.clear();
        answer = GetParam();
    }

    // Opens the log in the scratch directory and writes one line; OpenLog says whether logging is on.
    void OpenAndWrite() {
        std::wstring directory = scratch_.path();
        EXPECT_EQ(OpenLog(directory), GetParam() == Answer::AsItIs);
        WriteLog(L"a line");
    }

    [[nodiscard]] std::wstring LogPath() const { return scratch_.path() + kLogName; }

    // True when no handle is open on the log: it can be opened without sharing.
    [[nodiscard]] bool NothingHoldsTheLog() const {
        return UniqueFile(realCreateFile(LogPath().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr))
            .valid();
    }

    TempDirectory scratch_{TempDirectory::Parent::UserTemp};
    KernelImportReplacement createFile_{"CreateFileW", reinterpret_cast<void*>(&RecordingCreateFile)};
    KernelImportReplacement getInformation_{"GetFileInformationByHandle",
                                            reinterpret_cast<void*>(&ScriptedGetInformation)};
};

TEST_P(OpenLogAtAPlantedLink, OpensTheNameItselfNeverWhatALinkThereNames) {
    OpenAndWrite();

    ASSERT_EQ(logOpens.size(), 1u);
    EXPECT_EQ(logOpens[0].path, LogPath());
    EXPECT_EQ(logOpens[0].disposition, static_cast<DWORD>(CREATE_ALWAYS)) << "each run replaces the log";
    EXPECT_NE(logOpens[0].flagsAndAttributes & FILE_FLAG_OPEN_REPARSE_POINT, 0u)
        << "a link at the log's name is opened as itself, not followed";
}

TEST_P(OpenLogAtAPlantedLink, WritesOnlyToAFileThatIsNoReparsePoint) {
    OpenAndWrite();

    const std::optional<Bytes> bytes = ReadFileBytes(LogPath());
    ASSERT_TRUE(bytes.has_value()) << "the name is opened in every case";
    if (GetParam() == Answer::AsItIs) {
        EXPECT_EQ(bytes->size(), 2 * (12 + 2 + std::wcslen(L"a line") + 2)) << "logging is on";
    } else {
        EXPECT_TRUE(bytes->empty()) << "nothing is written through a reparse point, or what may be one";
        EXPECT_TRUE(NothingHoldsTheLog()) << "logging is off and the file is let go";
    }
}

INSTANTIATE_TEST_SUITE_P(Answers, OpenLogAtAPlantedLink,
                         ::testing::Values(Answer::AsItIs, Answer::ReparsePoint, Answer::QueryFails),
                         [](const ::testing::TestParamInfo<Answer>& info) { return std::string(Name(info.param)); });

}  // namespace
}  // namespace corvantile
