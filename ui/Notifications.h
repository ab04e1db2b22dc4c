// The notifications that the updater thread sends to the progress dialog, for itself and for the engine's
// status line, always with SendMessageW, so that the sender waits until the dialog has handled them.
#pragma once

#include <windows.h>

namespace corvantile {

// wParam 0, lParam 0.
inline constexpr UINT UM_UPDATE_SUCCEEDED = WM_APP + 0;
inline constexpr UINT UM_UPDATE_FAILED = WM_APP + 1;
// wParam: the address of a NUL-terminated wide text, which the dialog copies before the send returns.
inline constexpr UINT UM_STATUS_TEXT = WM_APP + 3;

}  // namespace corvantile
