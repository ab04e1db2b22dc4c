// The tool's text forms: UTF-16 inside the package and on Windows, UTF-8 on POSIX command lines and in all
// output, and file system paths, whose native form is whichever of the two the platform uses.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace corvantile::pack {

[[nodiscard]] constexpr bool IsHighSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDBFF; }
[[nodiscard]] constexpr bool IsLowSurrogate(char32_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Calls emit(codePoint, isLoneSurrogate) for each code point of the UTF-16 text.
template <typename Emit>
void ForEachCodePoint(std::u16string_view utf16, Emit emit) {
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        const char32_t unit = utf16[i];
        if (IsHighSurrogate(unit) && i + 1 < utf16.size() && IsLowSurrogate(utf16[i + 1])) {
            emit(0x10000 + ((unit - 0xD800) << 10) + (utf16[i + 1] - 0xDC00), false);
            ++i;
        } else {
            emit(unit, IsHighSurrogate(unit) || IsLowSurrogate(unit));
        }
    }
}

// Empty when the bytes are no well-formed UTF-8.
[[nodiscard]] std::optional<std::u16string> Utf16FromUtf8(std::string_view utf8);
// A lone surrogate becomes U+FFFD, so the output stays well-formed UTF-8.
[[nodiscard]] std::string Utf8FromUtf16(std::u16string_view utf16);
// A quoted JSON string in UTF-8. A lone surrogate stays a \u escape so that no code unit is lost.
[[nodiscard]] std::string JsonString(std::u16string_view utf16);

// These convert through the native form themselves, because std::filesystem reports conversion failures
// by throwing.
[[nodiscard]] std::filesystem::path PathFromUtf16(std::u16string_view text);
// Empty when a POSIX path is no well-formed UTF-8.
[[nodiscard]] std::u16string Utf16FromPath(const std::filesystem::path& path);
// The path as the user typed it, for messages.
[[nodiscard]] std::string DisplayPath(const std::filesystem::path& path);

}  // namespace corvantile::pack
