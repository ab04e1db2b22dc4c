#include "base/LogLine.h"

#include "base/FormatBounded.h"

namespace corvantile {

std::wstring FormatLogLine(const TimeOfDay& time, const wchar_t* text) {
    constexpr std::size_t kTimestampChars = 20;
    wchar_t timestamp[kTimestampChars];
    FormatBounded(timestamp, kTimestampChars, L"%02hu:%02hu:%02hu.%03hu", time.hour, time.minute, time.second,
                  time.milliseconds);
    std::wstring line = timestamp;
    line += L"  ";
    line += text;
    line += L"\r\n";
    return line;
}

}  // namespace corvantile
