// The layout of one log line: "HH:MM:SS.mmm", two spaces, the text unchanged, CR LF.
#pragma once

#include <cstdint>
#include <string>

namespace corvantile {

struct TimeOfDay {
    std::uint16_t hour = 0;
    std::uint16_t minute = 0;
    std::uint16_t second = 0;
    std::uint16_t milliseconds = 0;
};

[[nodiscard]] std::wstring FormatLogLine(const TimeOfDay& time, const wchar_t* text);

}  // namespace corvantile
