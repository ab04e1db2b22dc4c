#include "engine/ApplyUpdates.h"

#include "base/Log.h"
#include "engine/InstallerResult.h"
#include "engine/InstallerText.h"
#include "engine/PatchCatalogue.h"
#include "engine/Restart.h"
#include "engine/UpdateProduct.h"
#include "package/Extraction.h"
#include "package/PackageLayout.h"

#include <optional>
#include <string>
#include <vector>

namespace corvantile {

namespace {

constexpr wchar_t kTransactionName[] = L"CorvantileUpdater";

struct InstalledProducts {
    PatchCatalogue x64Products;
    PatchCatalogue otherProducts;
};

// The Installer reads ";" in a patch path as a list separator: "a;b.msp" would become two patches, the second
// looked for relative to the current directory of the elevated updater.
bool AnyPatchPathHoldsSemicolon(const std::wstring& extractDir, const UpdateFileList& updateFiles) {
    if (extractDir.find(L';') != std::wstring::npos) return true;
    for (const UpdateTableEntry& entry : updateFiles) {
        if (UpdateFileName(entry).find(L';') != std::wstring::npos) return true;
    }
    return false;
}

// The Installer works within MAX_PATH, and Wine's crashed on a longer patch path.
bool AllPatchPathsFit(const std::wstring& extractDir, const UpdateFileList& updateFiles) {
    for (const UpdateTableEntry& entry : updateFiles) {
        if (!ExtractedPathFits(extractDir.size(), UpdateFileName(entry).size())) return false;
    }
    return true;
}

// The installed products of the catalogue, by the platform of their installed package. Empty when an
// installed product's package or its template cannot be read. A product that is not installed is left out.
std::optional<InstalledProducts> FindInstalledProducts(const InstallerApi& installer, const PatchCatalogue& catalogue) {
    InstalledProducts products;
    for (const auto& [productCode, patchIndices] : catalogue) {
        if (installer.queryProductState(productCode.c_str()) != INSTALLSTATE_DEFAULT) continue;
        const std::optional<std::wstring> packagePath =
            ReadProductProperty(installer, productCode, INSTALLPROPERTY_LOCALPACKAGE);
        if (!packagePath) return std::nullopt;
        UniqueMsiHandle summary(installer);
        if (installer.getSummaryInformation(0, packagePath->c_str(), 0, summary.put()) != kInstallerSuccess) {
            return std::nullopt;
        }
        const std::optional<std::wstring> platform = ReadSummaryTemplate(installer, summary.get());
        if (!platform) return std::nullopt;
        // Inside one transaction every x64 package must come before any other.
        PatchCatalogue& group =
            platform->find(L"x64") != std::wstring::npos ? products.x64Products : products.otherProducts;
        group.emplace(productCode, patchIndices);
    }
    return products;
}

// What one try at the transaction needs.
struct TransactionInputs {
    const InstallerApi& installer;
    const ProductUpdateServices& services;
    const std::wstring& directory;
    const InstalledProducts& products;
    const UpdateFileList& updateFiles;
    HWND ownerWindow;
};

// One try at the whole transaction: open it, update every product, x64 products first, and commit. The
// transaction is ended exactly once: rolled back at the first failure, since an open transaction makes every
// other installation on the machine wait until this process ends. Once ended, its handle belongs to the
// Installer and is never closed here.
int RunTransaction(const TransactionInputs& run, UpdateOutcome& outcome) {
    const InstallerApi& installer = run.installer;
    UniqueMsiHandle transaction(installer);
    // The change-of-owner event is not used. The Installer documents no duty to close it, and under Wine it
    // is no handle at all, so it is left to the end of the process.
    HANDLE changeOfOwnerEvent = nullptr;
    const UINT begun = installer.beginTransaction(kTransactionName, 0, transaction.put(), &changeOfOwnerEvent);
    if (begun != kInstallerSuccess) {
        outcome.installerResult = begun;
        return 1;
    }
    bool rebootRequired = false;
    for (const PatchCatalogue* group : {&run.products.x64Products, &run.products.otherProducts}) {
        for (const auto& [productCode, patchIndices] : *group) {
            if (UpdateProduct(run.services, run.directory, productCode, patchIndices, run.updateFiles, rebootRequired,
                              outcome.installerResult) != 0) {
                // Its result changes nothing: the run has failed either way.
                (void)installer.endTransaction(MSITRANSACTIONSTATE_ROLLBACK);
                (void)transaction.release();
                return 1;
            }
        }
    }

    const UINT committed = installer.endTransaction(MSITRANSACTIONSTATE_COMMIT);
    (void)transaction.release();
    const InstallerOutcome commit = ClassifyInstallerResult(committed);
    if (commit == InstallerOutcome::Failed) {
        WriteLog(L"Committing MSI transaction failed.");
        outcome.installerResult = committed;
        return 1;
    }
    // 3010 and 1641 mean committed: the first with a restart still to come, the second with one under way.
    if (commit == InstallerOutcome::SucceededRebootRequired) rebootRequired = true;
    WriteLog(L"All updates applied successfully and MSI transaction committed.");
    const bool restartUnderWay = commit == InstallerOutcome::SucceededRebootInitiated;
    if (rebootRequired || restartUnderWay) {
        WriteLog(L"One or more of the updates installed require a reboot.");
        if (restartUnderWay) {
            outcome.restart = RestartOutcome::Initiated;
        } else {
            outcome.restart =
                run.ownerWindow != nullptr ? OfferRestart(installer, run.ownerWindow) : RestartOutcome::Pending;
        }
    }
    return 0;
}

}  // namespace

int ApplyUpdates(const EngineContext& context, const wchar_t* extractDir, HWND ownerWindow, StatusLine* statusLine,
                 UpdateOutcome& outcome) {
    outcome = {};
    if (extractDir == nullptr || *extractDir == L'\0') return 1;
    // Loaded only here, so that an extraction alone never loads the Installer.
    const InstallerApi* const loaded = context.loadInstaller();
    if (loaded == nullptr) {
        WriteLog(L"Failed to load the Windows Installer.");
        return 1;
    }
    const InstallerApi& installer = *loaded;
    const std::wstring directory(extractDir);

    UpdateFileList updateFiles;
    if (ExtractUpdateFiles(*context.packageFile, directory, &updateFiles) != 0) return 1;
    if (AnyPatchPathHoldsSemicolon(directory, updateFiles)) {
        WriteLog(L"Update file path contains a semicolon.");
        return 1;
    }
    if (!AllPatchPathsFit(directory, updateFiles)) {
        WriteLog(L"Update file path too long.");
        return 1;
    }

    std::vector<std::wstring> patchPaths;
    for (const UpdateTableEntry& entry : updateFiles) patchPaths.push_back(directory + L'\\' + UpdateFileName(entry));
    const std::optional<PatchCatalogue> catalogue = ReadPatchCatalogue(installer, patchPaths);
    if (!catalogue) return 1;
    WriteLog(L"Determining applicable patches.");
    const std::optional<InstalledProducts> products = FindInstalledProducts(installer, *catalogue);
    if (!products) return 1;

    const ProductUpdateServices services{installer, context.logDirectory, context.stringModule, context.statusFormatId,
                                         statusLine};
    const TransactionInputs run{installer, services, directory, *products, updateFiles, ownerWindow};
    for (int attempt = 1;; ++attempt) {
        outcome = {};
        const int result = RunTransaction(run, outcome);
        if (result == 0 || outcome.installerResult != kInstallerBusy || attempt == kBusyInstallerRetry.tries) {
            return result;
        }
        WriteLog(L"Another installation is in progress. Waiting before trying again.");
        installer.sleep(kBusyInstallerRetry.waitMilliseconds);
    }
}

}  // namespace corvantile
