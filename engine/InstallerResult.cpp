#include "engine/InstallerResult.h"

namespace corvantile {

InstallerOutcome ClassifyInstallerResult(std::uint32_t result) noexcept {
    switch (result) {
        case kInstallerSuccess: return InstallerOutcome::Succeeded;
        case kInstallerRebootRequired: return InstallerOutcome::SucceededRebootRequired;
        case kInstallerRebootInitiated: return InstallerOutcome::SucceededRebootInitiated;
        default: return InstallerOutcome::Failed;
    }
}

std::uint32_t UpdateExitCode(int result, const UpdateOutcome& outcome) noexcept {
    if (result != 0) return outcome.installerResult != kInstallerSuccess ? outcome.installerResult : 1;
    switch (outcome.restart) {
        case RestartOutcome::Pending: return kInstallerRebootRequired;
        case RestartOutcome::Initiated: return kInstallerRebootInitiated;
        case RestartOutcome::NotNeeded: break;
    }
    return kInstallerSuccess;
}

}  // namespace corvantile
