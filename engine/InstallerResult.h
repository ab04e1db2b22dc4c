// The one place that sorts the results of the Installer calls that install or commit, and that turns what a
// run came to into the process exit code. Portable: no Windows headers.
#pragma once

#include <cstdint>

namespace corvantile {

inline constexpr std::uint32_t kInstallerSuccess = 0;             // ERROR_SUCCESS
inline constexpr std::uint32_t kInstallerMoreData = 234;          // ERROR_MORE_DATA
inline constexpr std::uint32_t kInstallerBusy = 1618;             // ERROR_INSTALL_ALREADY_RUNNING
inline constexpr std::uint32_t kInstallerRebootInitiated = 1641;  // ERROR_SUCCESS_REBOOT_INITIATED
inline constexpr std::uint32_t kInstallerRebootRequired = 3010;   // ERROR_SUCCESS_REBOOT_REQUIRED

enum class InstallerOutcome {
    Succeeded,
    SucceededRebootRequired,   // done; the change takes full effect after a restart
    SucceededRebootInitiated,  // done; the Installer has already started a restart
    Failed,
};

[[nodiscard]] InstallerOutcome ClassifyInstallerResult(std::uint32_t result) noexcept;

// While another installation runs the Installer answers 1618; the whole transaction is tried this many times
// in all, this long apart, before the run gives up.
struct BusyInstallerRetry {
    int tries;
    std::uint32_t waitMilliseconds;
};
inline constexpr BusyInstallerRetry kBusyInstallerRetry{3, 5000};

// What became of the restart that a committed update may need.
enum class RestartOutcome {
    NotNeeded,
    Pending,    // still needed: declined, not asked where nobody could answer, or refused by Windows
    Initiated,  // under way: asked for and accepted, or started by the commit itself
};

// What an update run came to, beside its result of 0 or 1.
struct UpdateOutcome {
    // The result of the Installer call that decided a failure; 0 when the failure was the updater's own.
    std::uint32_t installerResult = kInstallerSuccess;
    RestartOutcome restart = RestartOutcome::NotNeeded;
};

// The exit code in the Installer's convention, which deployment tools act on: 0 done; 3010 done, restart still
// needed; 1641 done, restart under way; the Installer's own code where one of its calls failed the run (1618
// while another installation runs, which such tools retry); 1 for the updater's own failures.
[[nodiscard]] std::uint32_t UpdateExitCode(int result, const UpdateOutcome& outcome) noexcept;

}  // namespace corvantile
