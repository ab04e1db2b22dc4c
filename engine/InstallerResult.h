// The one place that sorts the results of the Installer calls that install or commit.
// Portable: no Windows headers.
#pragma once

#include <cstdint>

namespace corvantile {

inline constexpr std::uint32_t kInstallerSuccess = 0;                 // ERROR_SUCCESS
inline constexpr std::uint32_t kInstallerMoreData = 234;              // ERROR_MORE_DATA
inline constexpr std::uint32_t kInstallerRebootInitiated = 1641;      // ERROR_SUCCESS_REBOOT_INITIATED
inline constexpr std::uint32_t kInstallerRebootRequired = 3010;       // ERROR_SUCCESS_REBOOT_REQUIRED

enum class InstallerOutcome {
    Succeeded,
    SucceededRebootRequired,   // done; the change takes full effect after a restart
    SucceededRebootInitiated,  // done; the Installer has already started a restart
    Failed,
};

[[nodiscard]] InstallerOutcome ClassifyInstallerResult(std::uint32_t result) noexcept;

}  // namespace corvantile
