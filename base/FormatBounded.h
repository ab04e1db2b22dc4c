// A bounded wide-string formatter that behaves as the Windows SDK's safe-string print functions do.
#pragma once

#include <cstddef>
#include <cstdint>

namespace corvantile {

// The result codes, with the values of S_OK, STRSAFE_E_INSUFFICIENT_BUFFER and E_INVALIDARG.
inline constexpr std::int32_t kFormatOk = 0;
inline constexpr std::int32_t kFormatInsufficientBuffer = static_cast<std::int32_t>(0x8007007AU);
inline constexpr std::int32_t kFormatInvalidArgument = static_cast<std::int32_t>(0x80070057U);
// The largest capacity the safe-string functions accept.
inline constexpr std::size_t kMaxFormatCapacity = 0x7FFFFFFF;

// Formats into buffer, writing at most capacityChars characters including the terminating NUL. A text
// that does not fit is cut to capacityChars - 1 characters. Conversions: %s (a wide string), %u, %d,
// %x, %c and %%, with the 0 and - flags, a width and the h and l size prefixes.
std::int32_t FormatBounded(wchar_t* buffer, std::size_t capacityChars, const wchar_t* format, ...);

}  // namespace corvantile
