#include "tests/support/LogReader.h"

namespace corvantile::testing {

namespace {

constexpr std::size_t kTimestampChars = 12;  // HH:MM:SS.mmm

bool ReadDigits(const std::u16string& line, std::size_t at, std::size_t count, unsigned limit, unsigned& value) {
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (line[i] < u'0' || line[i] > u'9') return false;
        value = value * 10 + (line[i] - u'0');
    }
    return value <= limit;
}

std::string ParseLine(const std::u16string& line, LogLine& parsed) {
    if (line.size() < kTimestampChars + 2) return "line shorter than a timestamp and two spaces";
    if (!ReadDigits(line, 0, 2, 23, parsed.hour)) return "hour is not 00-23";
    if (line[2] != u':') return "no ':' after the hour";
    if (!ReadDigits(line, 3, 2, 59, parsed.minute)) return "minute is not 00-59";
    if (line[5] != u':') return "no ':' after the minute";
    if (!ReadDigits(line, 6, 2, 59, parsed.second)) return "second is not 00-59";
    if (line[8] != u'.') return "no '.' after the second";
    if (!ReadDigits(line, 9, 3, 999, parsed.milliseconds)) return "milliseconds are not 000-999";
    if (line[12] != u' ' || line[13] != u' ') return "the timestamp is not followed by two spaces";
    parsed.message.assign(line.begin() + kTimestampChars + 2, line.end());
    return {};
}

// Every line up to the first byte that breaks the layout goes into `lines`; gives what broke it, or nothing.
std::string ReadLines(const Bytes& bytes, std::vector<LogLine>& lines) {
    if (bytes.size() % 2 != 0) return "odd byte count " + std::to_string(bytes.size()) + ": not UTF-16";
    std::u16string text(bytes.size() / 2, u'\0');
    for (std::size_t i = 0; i < text.size(); ++i) {
        text[i] = static_cast<char16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
    if (!text.empty() && text[0] == u'\xFEFF') return "the log begins with a byte order mark";
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find(u"\r\n", start);
        if (end == std::u16string::npos) return "the last line does not end with CR LF";
        LogLine line;
        const std::string problem = ParseLine(text.substr(start, end - start), line);
        if (!problem.empty()) return "line " + std::to_string(lines.size() + 1) + ": " + problem;
        lines.push_back(std::move(line));
        start = end + 2;
    }
    return {};
}

}  // namespace

std::vector<std::wstring> ParsedLog::Messages() const {
    std::vector<std::wstring> messages;
    for (const LogLine& line : lines) messages.push_back(line.message);
    return messages;
}

ParsedLog ParseLog(const Bytes& bytes) {
    ParsedLog log;
    log.problem = ReadLines(bytes, log.lines);
    return log;
}

}  // namespace corvantile::testing
