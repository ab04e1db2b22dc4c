#include "engine/UpdateProduct.h"

#include "base/FormatBounded.h"
#include "base/Log.h"
#include "engine/InstallerResult.h"
#include "engine/InstallerText.h"
#include "engine/PatchOrder.h"

#include <vector>

namespace corvantile {

namespace {

constexpr int kStringChars = 256;
constexpr std::size_t kFormattedChars = 512;
constexpr wchar_t kApplyCommandLine[] = L"REINSTALL=ALL REINSTALLMODE=omus";

// The installed name when the Installer reports one, else the product code.
std::wstring DisplayName(const InstallerApi& installer, const std::wstring& productCode) {
    return ReadProductProperty(installer, productCode, INSTALLPROPERTY_INSTALLEDPRODUCTNAME).value_or(productCode);
}

// 0 when the patch was applied (after setting rebootRequired when it asks for a restart), else the
// Installer's result.
UINT ApplyPatch(const ProductUpdateServices& services, const std::wstring& productCode, const std::wstring& displayName,
                const std::wstring& patchPath, const std::wstring& fileName, bool& rebootRequired) {
    const InstallerApi& installer = services.installer;
    if (!services.logDirectory.empty()) {
        const std::wstring installerLog = services.logDirectory + fileName + L' ' + productCode + L".log";
        installer.enableLog(INSTALLLOGMODE_VERBOSE, installerLog.c_str(), 0);
    }

    wchar_t format[kStringChars];
    if (::LoadStringW(services.stringModule, services.statusFormatId, format, kStringChars) <= 0) format[0] = L'\0';
    wchar_t status[kFormattedChars];
    // A text too long for the buffer is cut to fit, in the log and in the dialog alike.
    (void)FormatBounded(status, kFormattedChars, format, fileName.c_str(), displayName.c_str());
    WriteLog(status);
    if (services.statusLine != nullptr) services.statusLine->Show(status);

    const UINT result = installer.applyPatch(patchPath.c_str(), nullptr, INSTALLTYPE_DEFAULT, kApplyCommandLine);
    switch (ClassifyInstallerResult(result)) {
        case InstallerOutcome::SucceededRebootRequired: rebootRequired = true; [[fallthrough]];
        case InstallerOutcome::Succeeded: WriteLog(L"MsiApplyPatch succeeded."); return kInstallerSuccess;
        case InstallerOutcome::SucceededRebootInitiated:  // a restart under way would cut the run short
        case InstallerOutcome::Failed: break;
    }
    wchar_t failure[kFormattedChars];
    (void)FormatBounded(failure, kFormattedChars, L"MsiApplyPatch failed with error=%u", result);
    WriteLog(failure);
    return result;
}

}  // namespace

int UpdateProduct(const ProductUpdateServices& services, const std::wstring& extractDir,
                  const std::wstring& productCode, const PatchIndexList& patchIndices,
                  const UpdateFileList& updateFiles, bool& rebootRequired, std::uint32_t& installerResult) {
    if (patchIndices.empty()) return 0;
    const InstallerApi& installer = services.installer;

    const std::wstring displayName = DisplayName(installer, productCode);
    WriteLog((L"Determining update application order for product '" + displayName + L"'.").c_str());

    // The paths stay alive until the last patch of the product is applied.
    std::vector<std::wstring> patchPaths;
    std::vector<std::wstring> fileNames;
    patchPaths.reserve(patchIndices.size());
    fileNames.reserve(patchIndices.size());
    for (const std::uint32_t patchIndex : patchIndices) {
        fileNames.push_back(UpdateFileName(updateFiles[patchIndex]));
        patchPaths.push_back(extractDir + L'\\' + fileNames.back());
    }
    std::vector<MSIPATCHSEQUENCEINFOW> sequence(patchPaths.size());
    for (std::size_t i = 0; i < sequence.size(); ++i) {
        sequence[i].szPatchData = patchPaths[i].c_str();
        sequence[i].ePatchDataType = MSIPATCH_DATATYPE_PATCHFILE;
        sequence[i].dwOrder = static_cast<DWORD>(-1);
        sequence[i].uStatus = kInstallerSuccess;
    }
    // The Installer's reason is not logged: the run fails with it as the exit code, and the Installer's own log
    // tells more.
    const UINT sequenceResult = installer.determinePatchSequence(
        productCode.c_str(), nullptr, MSIINSTALLCONTEXT_MACHINE, static_cast<DWORD>(sequence.size()), sequence.data());
    if (sequenceResult != kInstallerSuccess) {
        installerResult = sequenceResult;
        return 1;
    }

    std::vector<SequencedPatch> sequenced;
    sequenced.reserve(sequence.size());
    for (const MSIPATCHSEQUENCEINFOW& element : sequence) {
        sequenced.push_back({static_cast<std::int32_t>(element.dwOrder), element.uStatus});
    }
    const std::vector<std::size_t> applicationOrder = ApplicationOrder(sequenced);
    if (applicationOrder.empty()) {
        WriteLog(L"No updates required.");
        return 0;
    }

    installer.setInternalUI(INSTALLUILEVEL_NONE, nullptr);
    for (const std::size_t i : applicationOrder) {
        const UINT applied =
            ApplyPatch(services, productCode, displayName, patchPaths[i], fileNames[i], rebootRequired);
        if (applied != kInstallerSuccess) {
            installerResult = applied;
            return 1;
        }
    }
    return 0;
}

}  // namespace corvantile
