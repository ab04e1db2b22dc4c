// The restart that an update can ask for.
#pragma once

#include "engine/InstallerApi.h"
#include "engine/InstallerResult.h"

#include <windows.h>

namespace corvantile {

// Asks the user, in a box owned by ownerWindow, whether to restart now; where no user can see the box (a
// service, session 0: the window station is not visible) the question is skipped as if declined. On Yes it
// enables the shutdown privilege where it can and asks Windows to restart, planned, for maintenance of an
// application; the restart is asked for even when the privilege could not be enabled. Initiated only when
// Windows accepted the restart; Pending otherwise, after a log line when Windows refused it.
[[nodiscard]] RestartOutcome OfferRestart(const InstallerApi& installer, HWND ownerWindow);

}  // namespace corvantile
