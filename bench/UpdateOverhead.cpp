// One timed update for bench/update-overhead.sh, run in a Wine prefix in which the patches' products are
// installed:
//   UpdateOverhead engine UPDATER.exe   ApplyUpdates on the updater's package with the system's Installer,
//                                       extracting into a fresh folder below %TEMP%; msi.dll is first
//                                       loaded inside the call, as in the updater
//   UpdateOverhead engine-preloaded UPDATER.exe
//                                       the same, with msi.dll loaded beforehand (timed on its own, load_ms),
//                                       so that the call finds it loaded; before the call the package is also
//                                       extracted once into a folder of its own (timed, extract_ms), so that
//                                       the engine's own work can be told apart from the extraction it includes
//   UpdateOverhead plain PATCH.msp...   MsiApplyPatchW on each file in the order given, nothing else; msi.dll
//                                       loaded beforehand (load_ms)
// Only the update itself is timed (QueryPerformanceCounter), and the load where given. Afterwards every patch
// must be registered for each product that it targets, so that a run that did nothing never counts. On
// success prints one line
//   update-overhead mode=MODE patches=N elapsed_ms=T [load_ms=L] [extract_ms=X]
// and exits 0; otherwise says why on stderr and exits 1.
#include "engine/ApplyUpdates.h"
#include "engine/InstallerText.h"
#include "engine/PatchCatalogue.h"
#include "package/Extraction.h"
#include "res/resource.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace {

using corvantile::InstallerApi;

constexpr wchar_t kApplyCommandLine[] = L"REINSTALL=ALL REINSTALLMODE=omus";

class Stopwatch {
public:
    Stopwatch() {
        ::QueryPerformanceFrequency(&frequency_);
        ::QueryPerformanceCounter(&start_);
    }
    [[nodiscard]] double Milliseconds() const {
        LARGE_INTEGER now;
        ::QueryPerformanceCounter(&now);
        return 1000.0 * static_cast<double>(now.QuadPart - start_.QuadPart) / static_cast<double>(frequency_.QuadPart);
    }

private:
    LARGE_INTEGER frequency_{};
    LARGE_INTEGER start_{};
};

// Each msi.dll entry point of the engine's table, timed: how many calls, and their milliseconds in all.
constexpr std::size_t kTimedSlots = 12;
void* realEntryPoint[kTimedSlots] = {};
double slotMilliseconds[kTimedSlots] = {};
unsigned slotCalls[kTimedSlots] = {};

template <typename Function>
struct TimedEntryPoint;

template <typename Result, typename... Arguments>
struct TimedEntryPoint<Result(WINAPI*)(Arguments...)> {
    template <std::size_t Slot>
    static Result WINAPI Call(Arguments... arguments) {
        const Stopwatch watch;
        const Result result = reinterpret_cast<Result(WINAPI*)(Arguments...)>(realEntryPoint[Slot])(arguments...);
        slotMilliseconds[Slot] += watch.Milliseconds();
        ++slotCalls[Slot];
        return result;
    }
};

const char* slotName[kTimedSlots] = {};

template <std::size_t Slot, typename Function>
void TimeEntryPoint(Function& entryPoint, const char* name) {
    realEntryPoint[Slot] = reinterpret_cast<void*>(entryPoint);
    slotName[Slot] = name;
    entryPoint = &TimedEntryPoint<Function>::template Call<Slot>;
}

const corvantile::InstallerApi* LoadTimedInstaller() {
    static corvantile::InstallerApi timed;
    const corvantile::InstallerApi* system = corvantile::LoadSystemInstaller();
    if (system == nullptr) return nullptr;
    timed = *system;
    TimeEntryPoint<0>(timed.openDatabase, "MsiOpenDatabaseW");
    TimeEntryPoint<1>(timed.getSummaryInformation, "MsiGetSummaryInformationW");
    TimeEntryPoint<2>(timed.summaryInfoGetProperty, "MsiSummaryInfoGetPropertyW");
    TimeEntryPoint<3>(timed.queryProductState, "MsiQueryProductStateW");
    TimeEntryPoint<4>(timed.getProductInfo, "MsiGetProductInfoW");
    TimeEntryPoint<5>(timed.determinePatchSequence, "MsiDeterminePatchSequenceW");
    TimeEntryPoint<6>(timed.setInternalUI, "MsiSetInternalUI");
    TimeEntryPoint<7>(timed.enableLog, "MsiEnableLogW");
    TimeEntryPoint<8>(timed.applyPatch, "MsiApplyPatchW");
    TimeEntryPoint<9>(timed.beginTransaction, "MsiBeginTransactionW");
    TimeEntryPoint<10>(timed.endTransaction, "MsiEndTransaction");
    TimeEntryPoint<11>(timed.closeHandle, "MsiCloseHandle");
    return &timed;
}

int Fail(const char* what, const std::wstring& detail = L"", unsigned code = 0) {
    std::fprintf(stderr, "UpdateOverhead: %s %ls (%u)\n", what, detail.c_str(), code);
    return 1;
}

// The engine's own Installer table, loaded as the engine loads it, and the one entry point more that the check
// needs, from the same module.
struct PlainInstaller {
    const InstallerApi* api = nullptr;
    decltype(&::MsiEnumPatchesW) enumPatches = nullptr;
};

std::optional<PlainInstaller> LoadPlainInstaller() {
    PlainInstaller installer{corvantile::LoadSystemInstaller()};
    if (installer.api == nullptr) return std::nullopt;
    installer.enumPatches = reinterpret_cast<decltype(&::MsiEnumPatchesW)>(
        reinterpret_cast<void (*)()>(::GetProcAddress(GetModuleHandleW(L"msi.dll"), "MsiEnumPatchesW")));
    if (installer.enumPatches == nullptr) return std::nullopt;
    return installer;
}

bool IsRegistered(const PlainInstaller& installer, const std::wstring& productCode, const std::wstring& patchCode) {
    for (DWORD index = 0;; ++index) {
        wchar_t code[39] = {};
        wchar_t transforms[1024] = {};
        DWORD transformChars = 1024;
        if (installer.enumPatches(productCode.c_str(), index, code, transforms, &transformChars) != ERROR_SUCCESS) {
            return false;
        }
        if (::CompareStringOrdinal(code, -1, patchCode.c_str(), -1, TRUE) == CSTR_EQUAL) return true;
    }
}

// 0 when the patch, read from its own summary information, is registered for every product it targets.
int CheckApplied(const PlainInstaller& installer, const std::wstring& patchPath) {
    const InstallerApi& api = *installer.api;
    corvantile::PatchSummaryHandles patch(api);
    if (const UINT opened = corvantile::OpenPatchSummary(api, patchPath.c_str(), patch); opened != ERROR_SUCCESS) {
        return Fail("cannot read the summary of", patchPath, opened);
    }
    const std::optional<std::wstring> targets = corvantile::ReadSummaryTemplate(api, patch.summary.get());
    const std::optional<std::wstring> codes =
        corvantile::ReadSummaryText(api, patch.summary.get(), corvantile::kPidRevisionNumber);
    if (!targets || !codes || codes->find(L'}') == std::wstring::npos) return Fail("no codes in", patchPath);
    // The patch's own code comes first; superseded ones may follow it.
    const std::wstring patchCode = codes->substr(0, codes->find(L'}') + 1);
    std::vector<std::wstring> products;
    corvantile::SplitOnSemicolon(*targets, products);
    for (const std::wstring& product : products) {
        if (!product.empty() && !IsRegistered(installer, product, patchCode)) {
            return Fail("not registered afterwards:", patchPath + L" for " + product);
        }
    }
    return 0;
}

int CheckAllApplied(const std::vector<std::wstring>& patchPaths) {
    const std::optional<PlainInstaller> installer = LoadPlainInstaller();
    if (!installer) return Fail("cannot load msi.dll for the check");
    for (const std::wstring& path : patchPaths) {
        if (CheckApplied(*installer, path) != 0) return 1;
    }
    return 0;
}

std::optional<std::vector<unsigned char>> ReadWholeFile(const std::wstring& path) {
    const corvantile::UniqueFile file(
        ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file) return std::nullopt;
    LARGE_INTEGER size{};
    std::vector<unsigned char> bytes;
    bool read = ::GetFileSizeEx(file.get(), &size) != FALSE && size.QuadPart < 0x40000000;
    if (read) {
        bytes.resize(static_cast<std::size_t>(size.QuadPart));
        DWORD delivered = 0;
        read = ::ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &delivered, nullptr) != FALSE &&
               delivered == bytes.size();
    }
    if (!read) return std::nullopt;
    return bytes;
}

std::vector<std::wstring> FilesIn(const std::wstring& directory) {
    std::vector<std::wstring> files;
    WIN32_FIND_DATAW found{};
    const corvantile::UniqueFindHandle search(::FindFirstFileW((directory + L"\\*").c_str(), &found));
    if (!search) return files;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            files.push_back(directory + L'\\' + found.cFileName);
    } while (::FindNextFileW(search.get(), &found));
    std::sort(files.begin(), files.end());
    return files;
}

// The package behind the updater's image, read up to its update table, as the updater reads it.
bool OpenPackage(corvantile::PackageFile& package, const std::wstring& updater, const corvantile::PeLayout& layout) {
    std::wstring name;
    std::wstring version;
    return package.Open(updater, layout) && package.ReadPackageHeader(name, version) == corvantile::HeaderOutcome::Read;
}

// Extracts the package on its own into a folder of its own, which is gone again at once, so that writing its
// pages back does not slow what follows. The milliseconds of the extraction; none when it fails.
std::optional<double> TimeExtractionAlone(const std::wstring& updater, const corvantile::PeLayout& layout,
                                          const std::wstring& directory) {
    // A package file is read once, front to back: the extraction gets one of its own.
    corvantile::PackageFile package;
    if (!FilesIn(directory).empty() || !OpenPackage(package, updater, layout)) return std::nullopt;
    const Stopwatch watch;
    const int extracted = corvantile::ExtractUpdateFiles(package, directory, nullptr);
    const double milliseconds = watch.Milliseconds();
    for (const std::wstring& file : FilesIn(directory)) ::DeleteFileW(file.c_str());
    ::RemoveDirectoryW(directory.c_str());
    if (extracted != 0) return std::nullopt;
    return milliseconds;
}

int RunEngine(const std::wstring& updater, bool preload) {
    const std::optional<std::vector<unsigned char>> image = ReadWholeFile(updater);
    if (!image) return Fail("cannot read", updater);
    const std::optional<corvantile::PeLayout> layout = corvantile::ReadPeLayout(image->data(), image->size());
    if (!layout) return Fail("no PE layout in", updater);
    corvantile::PackageFile package;
    if (!OpenPackage(package, updater, *layout)) return Fail("cannot read the package of", updater);
    // The updater's own string table, as the updater has it.
    const HINSTANCE strings =
        ::LoadLibraryExW(updater.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);

    wchar_t temp[MAX_PATH + 1] = {};
    if (::GetTempPathW(MAX_PATH + 1, temp) == 0) return Fail("no temporary directory");
    const std::wstring extractDir = std::wstring(temp) + L"CorvantileUpdateOverhead";
    if (!FilesIn(extractDir).empty()) return Fail("not empty:", extractDir);

    // Preloaded, the engine's own load inside the call only finds the module already there.
    double loading = 0.0;
    std::optional<double> extracting;
    if (preload) {
        const Stopwatch loadWatch;
        const InstallerApi* installer = corvantile::LoadSystemInstaller();
        loading = loadWatch.Milliseconds();
        if (installer == nullptr) return Fail("cannot load msi.dll");
        // The package's bytes are already in the cache (read whole above), as they are for the call below.
        extracting = TimeExtractionAlone(updater, *layout, extractDir + L"ExtractOnly");
        if (!extracting) return Fail("cannot extract on its own", updater);
    }

    // Logging stays off, as in a run without -l; each status line is still formatted, as the updater does.
    const corvantile::EngineContext context{preload ? LoadTimedInstaller : corvantile::LoadSystemInstaller, &package,
                                            L"", strings, IDS_INSTALLING_UPDATE};
    const Stopwatch watch;
    corvantile::UpdateOutcome outcome;
    const int result = corvantile::ApplyUpdates(context, extractDir.c_str(), nullptr, nullptr, outcome);
    const double elapsed = watch.Milliseconds();
    if (result != 0) return Fail("ApplyUpdates failed", updater, static_cast<unsigned>(result));

    const std::vector<std::wstring> patches = FilesIn(extractDir);
    if (patches.empty() || CheckAllApplied(patches) != 0) return Fail("the engine applied nothing from", updater);
    if (preload) {
        for (std::size_t slot = 0; slot < kTimedSlots; ++slot) {
            if (slotCalls[slot] != 0) {
                std::printf("update-overhead-call %s calls=%u ms=%.3f\n", slotName[slot], slotCalls[slot],
                            slotMilliseconds[slot]);
            }
        }
        std::printf(
            "update-overhead mode=engine-preloaded patches=%zu elapsed_ms=%.3f load_ms=%.3f"
            " extract_ms=%.3f\n",
            patches.size(), elapsed, loading, *extracting);
    } else {
        std::printf("update-overhead mode=engine patches=%zu elapsed_ms=%.3f\n", patches.size(), elapsed);
    }
    return 0;
}

int RunPlain(const std::vector<std::wstring>& patches) {
    const Stopwatch loadWatch;
    const std::optional<PlainInstaller> installer = LoadPlainInstaller();
    const double loading = loadWatch.Milliseconds();
    if (!installer) return Fail("cannot load msi.dll");
    installer->api->setInternalUI(INSTALLUILEVEL_NONE, nullptr);

    const Stopwatch watch;
    for (const std::wstring& patch : patches) {
        const UINT result = installer->api->applyPatch(patch.c_str(), nullptr, INSTALLTYPE_DEFAULT, kApplyCommandLine);
        if (result != ERROR_SUCCESS && result != ERROR_SUCCESS_REBOOT_REQUIRED) {
            return Fail("MsiApplyPatchW failed for", patch, result);
        }
    }
    const double elapsed = watch.Milliseconds();

    if (CheckAllApplied(patches) != 0) return 1;
    std::printf("update-overhead mode=plain patches=%zu elapsed_ms=%.3f load_ms=%.3f\n", patches.size(), elapsed,
                loading);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"engine" && argc == 3) return RunEngine(argv[2], false);
    if (mode == L"engine-preloaded" && argc == 3) return RunEngine(argv[2], true);
    if (mode == L"plain" && argc > 2) return RunPlain(std::vector<std::wstring>(argv + 2, argv + argc));
    std::fprintf(stderr,
                 "usage: UpdateOverhead engine|engine-preloaded UPDATER.exe | UpdateOverhead plain PATCH.msp...\n");
    return 2;
}
