// The case mapping by which Windows finds two names to be the same file, taken from the platform on Windows
// and from ICU elsewhere, never from a table of our own.
#include "package/PackageLayout.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unicode/uchar.h>
#endif

namespace corvantile {

#ifdef _WIN32

std::u16string FileNameCollisionKey(std::u16string_view name) {
    std::u16string key(name);
    if (key.empty()) return key;
    // Without LCMAP_LINGUISTIC_CASING the mapping follows the file system's rules, one code unit to one, as
    // CompareStringOrdinal(..., TRUE) compares. The invariant locale keeps Turkish i out of it.
    const int chars = static_cast<int>(key.size());
    const auto* source = reinterpret_cast<const wchar_t*>(name.data());
    auto* target = reinterpret_cast<wchar_t*>(key.data());
    if (::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, source, chars, target, chars, nullptr, nullptr, 0) !=
        chars) {
        key.assign(name);
    }
    return key;
}

#else

std::u16string FileNameCollisionKey(std::u16string_view name) {
    // ICU's simple uppercase mapping, one BMP code unit to one, comes closest to the file system's uppercase
    // table: neither expands (ß stays) and characters beyond the BMP are left alone, as Windows leaves them.
    // towupper would depend on the locale the tool happens to run in.
    std::u16string key(name);
    for (char16_t& c : key) {
        if (c >= 0xD800 && c <= 0xDFFF) continue;
        const UChar32 upper = u_toupper(c);
        if (upper <= 0xFFFF) c = static_cast<char16_t>(upper);
    }
    return key;
}

#endif

}  // namespace corvantile
