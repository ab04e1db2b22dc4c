#include "tools/TextEncoding.h"

#include <cstdint>

namespace corvantile::pack {

namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void AppendHexEscape(std::string& out, char32_t unit) {
    constexpr char kHex[] = "0123456789abcdef";
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4) out += kHex[(unit >> shift) & 0xF];
}

}  // namespace

std::optional<std::u16string> Utf16FromUtf8(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<std::uint8_t>(utf8[i]);
        // Sequence length and the smallest code point it may carry: anything smaller is an overlong form.
        std::size_t length = 0;
        char32_t minimum = 0;
        char32_t c = 0;
        if (lead < 0x80) {
            length = 1;
            c = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            length = 2;
            minimum = 0x80;
            c = lead & 0x1F;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3;
            minimum = 0x800;
            c = lead & 0x0F;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4;
            minimum = 0x10000;
            c = lead & 0x07;
        } else {
            return std::nullopt;
        }
        if (utf8.size() - i < length) return std::nullopt;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<std::uint8_t>(utf8[i + k]);
            if ((next & 0xC0) != 0x80) return std::nullopt;
            c = (c << 6) | (next & 0x3F);
        }
        if (c < minimum || c > 0x10FFFF || IsHighSurrogate(c) || IsLowSurrogate(c)) return std::nullopt;
        if (c < 0x10000) {
            out += static_cast<char16_t>(c);
        } else {
            out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        }
        i += length;
    }
    return out;
}

std::string Utf8FromUtf16(std::u16string_view utf16) {
    std::string out;
    ForEachCodePoint(utf16, [&](char32_t c, bool lone) { AppendUtf8(out, lone ? kReplacementCharacter : c); });
    return out;
}

std::string JsonString(std::u16string_view utf16) {
    std::string out = "\"";
    ForEachCodePoint(utf16, [&](char32_t c, bool lone) {
        if (c == u'"' || c == u'\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || lone) {
            AppendHexEscape(out, c);
        } else {
            AppendUtf8(out, c);
        }
    });
    out += '"';
    return out;
}

// Windows paths are UTF-16 already (wchar_t); POSIX paths are taken as UTF-8.
#ifdef _WIN32

std::filesystem::path PathFromUtf16(std::u16string_view text) {
    return std::filesystem::path(std::wstring(text.begin(), text.end()));
}

std::u16string Utf16FromPath(const std::filesystem::path& path) {
    const std::wstring& native = path.native();
    return std::u16string(native.begin(), native.end());
}

std::string DisplayPath(const std::filesystem::path& path) { return Utf8FromUtf16(Utf16FromPath(path)); }

#else

std::filesystem::path PathFromUtf16(std::u16string_view text) { return std::filesystem::path(Utf8FromUtf16(text)); }

std::u16string Utf16FromPath(const std::filesystem::path& path) {
    return Utf16FromUtf8(path.native()).value_or(std::u16string());
}

std::string DisplayPath(const std::filesystem::path& path) { return path.native(); }

#endif

}  // namespace corvantile::pack
