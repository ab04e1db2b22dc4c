#include "engine/InstallerResult.h"

namespace corvantile {

InstallerOutcome ClassifyInstallerResult(std::uint32_t result) noexcept {
    switch (result) {
        case kInstallerSuccess:
            return InstallerOutcome::Succeeded;
        case kInstallerRebootRequired:
            return InstallerOutcome::SucceededRebootRequired;
        case kInstallerRebootInitiated:
            return InstallerOutcome::SucceededRebootInitiated;
        default:
            return InstallerOutcome::Failed;
    }
}

}  // namespace corvantile
