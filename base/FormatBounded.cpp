#include "base/FormatBounded.h"

#include <algorithm>
#include <cstdarg>
#include <string>

namespace corvantile {

namespace {

struct Conversion {
    bool zeroPad = false;
    bool leftAlign = false;
    std::size_t width = 0;
    enum class Size { Int, Short, Long } size = Size::Int;
};

void AppendPadded(std::wstring& out, const std::wstring& digits, const Conversion& conversion, bool numeric) {
    const std::size_t padding = conversion.width > digits.size() ? conversion.width - digits.size() : 0;
    if (conversion.leftAlign) {
        out += digits;
        out.append(padding, L' ');
        return;
    }
    if (numeric && conversion.zeroPad && !digits.empty() && digits[0] == L'-') {
        out += L'-';
        out.append(padding, L'0');
        out.append(digits, 1);
        return;
    }
    out.append(padding, (numeric && conversion.zeroPad) ? L'0' : L' ');
    out += digits;
}

std::wstring ToDigits(unsigned long long value, unsigned base) {
    std::wstring digits;
    do {
        digits.insert(digits.begin(), L"0123456789abcdef"[value % base]);
        value /= base;
    } while (value != 0);
    return digits;
}

unsigned long long TakeUnsigned(va_list& values, Conversion::Size size) {
    switch (size) {
        case Conversion::Size::Short: return static_cast<unsigned short>(va_arg(values, unsigned int));
        case Conversion::Size::Long: return va_arg(values, unsigned long);
        case Conversion::Size::Int: break;
    }
    return va_arg(values, unsigned int);
}

long long TakeSigned(va_list& values, Conversion::Size size) {
    switch (size) {
        case Conversion::Size::Short: return static_cast<short>(va_arg(values, int));
        case Conversion::Size::Long: return va_arg(values, long);
        case Conversion::Size::Int: break;
    }
    return va_arg(values, int);
}

// Formats the whole text; false on a conversion it does not know, with the text made so far in out.
bool FormatAll(std::wstring& out, const wchar_t* format, va_list& values) {
    for (const wchar_t* p = format; *p != L'\0'; ++p) {
        if (*p != L'%') {
            out += *p;
            continue;
        }
        ++p;
        Conversion conversion;
        for (;; ++p) {
            if (*p == L'0')
                conversion.zeroPad = true;
            else if (*p == L'-')
                conversion.leftAlign = true;
            else
                break;
        }
        for (; *p >= L'0' && *p <= L'9'; ++p)
            conversion.width = conversion.width * 10 + static_cast<std::size_t>(*p - L'0');
        if (*p == L'h') {
            conversion.size = Conversion::Size::Short;
            ++p;
        } else if (*p == L'l') {
            conversion.size = Conversion::Size::Long;
            ++p;
        }
        switch (*p) {
            case L'%': out += L'%'; break;
            case L's': {
                const wchar_t* text = va_arg(values, const wchar_t*);
                AppendPadded(out, text != nullptr ? text : L"(null)", conversion, false);
                break;
            }
            case L'c':
                AppendPadded(out, std::wstring(1, static_cast<wchar_t>(va_arg(values, int))), conversion, false);
                break;
            case L'u': AppendPadded(out, ToDigits(TakeUnsigned(values, conversion.size), 10), conversion, true); break;
            case L'x': AppendPadded(out, ToDigits(TakeUnsigned(values, conversion.size), 16), conversion, true); break;
            case L'd':
            case L'i': {
                const long long value = TakeSigned(values, conversion.size);
                const unsigned long long magnitude =
                    value < 0 ? 0ULL - static_cast<unsigned long long>(value) : static_cast<unsigned long long>(value);
                AppendPadded(out, (value < 0 ? L"-" : L"") + ToDigits(magnitude, 10), conversion, true);
                break;
            }
            default: return false;  // includes a format that ends after '%'
        }
    }
    return true;
}

}  // namespace

std::int32_t FormatBounded(wchar_t* buffer, std::size_t capacityChars, const wchar_t* format, ...) {
    if (capacityChars == 0) return kFormatInvalidArgument;
    if (capacityChars > kMaxFormatCapacity) {
        buffer[0] = L'\0';
        return kFormatInvalidArgument;
    }
    std::wstring text;
    va_list values;
    va_start(values, format);
    const bool formatted = FormatAll(text, format, values);
    va_end(values);

    const std::size_t limit = capacityChars - 1;
    const std::size_t kept = std::min(text.size(), limit);
    std::copy_n(text.data(), kept, buffer);
    buffer[kept] = L'\0';
    if (!formatted || text.size() > limit) {
        buffer[limit] = L'\0';
        return kFormatInsufficientBuffer;
    }
    return kFormatOk;
}

}  // namespace corvantile
