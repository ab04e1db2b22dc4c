#include "tools/DisplayText.h"

#include "tools/TextEncoding.h"

namespace corvantile::pack {

namespace {

bool IsSpace(char32_t c) {
    return c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F || c == 0x205F ||
           c == 0x3000;
}

}  // namespace

bool IsControlCharacter(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

bool IsHiddenCharacter(char32_t c) {
    return IsControlCharacter(c) || c == 0xAD || c == 0x061C || c == 0x180E || (c >= 0x200B && c <= 0x200F) ||
           (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x2064) || (c >= 0x2066 && c <= 0x206F) ||
           c == 0xFEFF || (c >= 0xFFF9 && c <= 0xFFFB) || (c >= 0xE0000 && c <= 0xE007F) || IsHighSurrogate(c) ||
           IsLowSurrogate(c);
}

bool HasControlCharacter(std::u16string_view text) {
    bool found = false;
    ForEachCodePoint(text, [&](char32_t c, bool) { found = found || IsControlCharacter(c); });
    return found;
}

bool HasEdgeSpace(std::u16string_view text) {
    // Every space is in the basic plane, so the first and last code units tell.
    return !text.empty() && (IsSpace(text.front()) || IsSpace(text.back()));
}

std::string DisplayText(std::u16string_view text) {
    std::string out;
    std::size_t runStart = 0;
    std::size_t position = 0;
    const auto flush = [&] { out += Utf8FromUtf16(text.substr(runStart, position - runStart)); };
    ForEachCodePoint(text, [&](char32_t c, bool) {
        const std::size_t units = c > 0xFFFF ? 2 : 1;
        if (c == u'\\' || IsHiddenCharacter(c)) {
            flush();
            if (c == u'\\') {
                out += "\\\\";
            } else {
                constexpr char kHex[] = "0123456789ABCDEF";
                std::string digits;
                for (char32_t rest = c; rest != 0 || digits.size() < 4; rest >>= 4) {
                    digits.insert(0, 1, kHex[rest & 0xF]);
                }
                out += "\\u{" + digits + "}";
            }
            runStart = position + units;
        }
        position += units;
    });
    flush();
    return out;
}

const char* DescribeSpoofingName(std::u16string_view name) {
    bool hidden = false;
    ForEachCodePoint(name, [&](char32_t c, bool) { hidden = hidden || IsHiddenCharacter(c); });
    if (hidden) return "the name holds a control or invisible formatting character (such as U+202E or U+FEFF)";
    if (HasEdgeSpace(name)) return "the name begins or ends with a space";
    return nullptr;
}

}  // namespace corvantile::pack
