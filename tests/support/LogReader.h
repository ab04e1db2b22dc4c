// Reads the updater's log back: UTF-16LE without a byte order mark, one line per message, each
// "HH:MM:SS.mmm", two spaces, the message and CR LF.
#pragma once

#include "tests/support/Files.h"

#include <string>
#include <vector>

namespace corvantile::testing {

struct LogLine {
    unsigned hour = 0;
    unsigned minute = 0;
    unsigned second = 0;
    unsigned milliseconds = 0;
    std::wstring message;

    [[nodiscard]] unsigned MillisecondsOfDay() const noexcept {
        return ((hour * 60 + minute) * 60 + second) * 1000 + milliseconds;
    }
};

struct ParsedLog {
    std::vector<LogLine> lines;
    std::string problem;  // empty when every byte followed the layout

    [[nodiscard]] bool WellFormed() const noexcept { return problem.empty(); }
    [[nodiscard]] std::vector<std::wstring> Messages() const;
};

// Checks every byte of the log against the layout (valid time ranges included) and splits it into lines.
[[nodiscard]] ParsedLog ParseLog(const Bytes& bytes);

}  // namespace corvantile::testing
