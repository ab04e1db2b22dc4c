#include "package/PackageLayout.h"

#include <algorithm>
#include <cstring>

namespace corvantile {

namespace {

constexpr std::size_t kDataLengthOffset = kFileNameBytes;
constexpr std::size_t kReservedOffset = kFileNameBytes + 4;

std::uint16_t ReadLe16(const std::uint8_t* bytes) { return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8)); }

char16_t AsciiUpper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c; }

bool EqualsIgnoringAsciiCase(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char16_t x, char16_t y) { return AsciiUpper(x) == AsciiUpper(y); });
}

bool IsDeviceName(std::u16string_view name) {
    // Windows resolves a device name even with an extension behind it ("nul.txt") or dots and spaces before
    // the extension.
    std::u16string_view stem = name.substr(0, name.find(u'.'));
    while (!stem.empty() && stem.back() == u' ') stem.remove_suffix(1);
    for (std::u16string_view device : {u"CON", u"PRN", u"AUX", u"NUL", u"CONIN$", u"CONOUT$"}) {
        if (EqualsIgnoringAsciiCase(stem, device)) return true;
    }
    if (stem.size() != 4) return false;
    // The ports take the digits 0-9 and the superscripts one, two and three.
    const char16_t digit = stem[3];
    const bool portDigit =
        (digit >= u'0' && digit <= u'9') || digit == u'\u00B9' || digit == u'\u00B2' || digit == u'\u00B3';
    const std::u16string_view prefix = stem.substr(0, 3);
    return portDigit && (EqualsIgnoringAsciiCase(prefix, u"COM") || EqualsIgnoringAsciiCase(prefix, u"LPT"));
}

bool IsWellFormedUtf16(std::u16string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c >= 0xDC00 && c <= 0xDFFF) return false;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 == text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return false;
            ++i;
        }
    }
    return true;
}

}  // namespace

std::uint32_t ReadLe32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

void WriteLe32(std::uint8_t* bytes, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

EntryBytes EncodeEntry(const UpdateTableEntry& entry) {
    EntryBytes bytes{};
    for (std::size_t i = 0; i < kFileNameChars; ++i) {
        bytes[2 * i] = static_cast<std::uint8_t>(entry.fileName[i]);
        bytes[2 * i + 1] = static_cast<std::uint8_t>(entry.fileName[i] >> 8);
    }
    WriteLe32(bytes.data() + kDataLengthOffset, entry.dataLength);
    WriteLe32(bytes.data() + kReservedOffset, entry.reserved);
    return bytes;
}

UpdateTableEntry DecodeEntry(const std::uint8_t* bytes) {
    UpdateTableEntry entry;
    for (std::size_t i = 0; i < kFileNameChars; ++i) entry.fileName[i] = static_cast<char16_t>(ReadLe16(bytes + 2 * i));
    entry.dataLength = ReadLe32(bytes + kDataLengthOffset);
    entry.reserved = ReadLe32(bytes + kReservedOffset);
    return entry;
}

std::optional<std::u16string_view> EntryFileName(const UpdateTableEntry& entry) {
    const auto end = std::find(entry.fileName.begin(), entry.fileName.end(), u'\0');
    if (end == entry.fileName.end()) return std::nullopt;
    return std::u16string_view(entry.fileName.data(), static_cast<std::size_t>(end - entry.fileName.begin()));
}

UpdateTableEntry MakeEntry(std::u16string_view fileName, std::uint32_t dataLength) {
    UpdateTableEntry entry;
    const std::size_t chars = std::min(fileName.size(), kMaxFileNameChars);
    std::copy_n(fileName.begin(), chars, entry.fileName.begin());
    entry.dataLength = dataLength;
    return entry;
}

std::vector<std::uint8_t> EncodeHeaderText(std::u16string_view text) {
    const std::size_t chars = std::min(text.size(), kMaxHeaderTextChars);
    std::vector<std::uint8_t> bytes;
    bytes.reserve(1 + 2 * chars);
    bytes.push_back(static_cast<std::uint8_t>(2 * chars));
    for (std::size_t i = 0; i < chars; ++i) {
        bytes.push_back(static_cast<std::uint8_t>(text[i]));
        bytes.push_back(static_cast<std::uint8_t>(text[i] >> 8));
    }
    return bytes;
}

std::u16string DecodeHeaderText(const std::uint8_t* bytes, std::size_t byteCount) {
    std::u16string text(byteCount / 2, u'\0');
    for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char16_t>(ReadLe16(bytes + 2 * i));
    return text;
}

FileNameProblem CheckPlainFileName(std::u16string_view name) {
    if (name.empty()) return FileNameProblem::Empty;
    if (name.size() > kMaxPlainNameChars) return FileNameProblem::TooLong;
    if (!IsWellFormedUtf16(name)) return FileNameProblem::NotUtf16;
    for (char16_t c : name) {
        if (c < 0x20 || c == 0x7F) return FileNameProblem::ControlCharacter;
        if (c == u'\\' || c == u'/' || c == u':') return FileNameProblem::DirectoryPart;
        if (std::u16string_view(u"*?\"<>|").find(c) != std::u16string_view::npos) {
            return FileNameProblem::ReservedCharacter;
        }
    }
    if (name == u"." || name == u"..") return FileNameProblem::DotName;
    if (name.back() == u'.' || name.back() == u' ') return FileNameProblem::TrailingDotOrSpace;
    if (IsDeviceName(name)) return FileNameProblem::DeviceName;
    return FileNameProblem::None;
}

const char* DescribeFileNameProblem(FileNameProblem problem) {
    switch (problem) {
        case FileNameProblem::None: return "a plain file name";
        case FileNameProblem::Empty: return "the name is empty";
        case FileNameProblem::TooLong: return "the name is longer than 255 UTF-16 code units";
        case FileNameProblem::NotUtf16: return "the name is not valid UTF-16 (an unpaired surrogate)";
        case FileNameProblem::DirectoryPart: return "the name holds a directory part (\\, / or :)";
        case FileNameProblem::ReservedCharacter:
            return "the name holds a character Windows does not allow (* ? \" < > |)";
        case FileNameProblem::ControlCharacter: return "the name holds a control character";
        case FileNameProblem::DotName: return "the name is . or ..";
        case FileNameProblem::TrailingDotOrSpace: return "the name ends with a dot or a space";
        case FileNameProblem::DeviceName: return "the name is a reserved device name";
    }
    return "unknown problem";
}

std::optional<PeLayout> ReadPeLayout(const std::uint8_t* headers, std::size_t headerBytes) {
    constexpr std::size_t kLfanewOffset = 60;
    constexpr std::size_t kFileHeaderBytes = 20;
    constexpr std::size_t kSectionHeaderBytes = 40;
    constexpr std::uint16_t kPe32Magic = 0x10B;
    constexpr std::uint16_t kPe32PlusMagic = 0x20B;
    constexpr std::uint32_t kSecurityDirectory = 4;

    if (headers == nullptr || headerBytes < kLfanewOffset + 4 || headers[0] != 'M' || headers[1] != 'Z') {
        return std::nullopt;
    }
    const std::uint64_t ntHeaders = ReadLe32(headers + kLfanewOffset);
    const std::uint64_t optionalHeader = ntHeaders + 4 + kFileHeaderBytes;
    if (optionalHeader + 2 > headerBytes || std::memcmp(headers + ntHeaders, "PE\0\0", 4) != 0) {
        return std::nullopt;
    }
    const std::uint16_t sectionCount = ReadLe16(headers + ntHeaders + 6);
    const std::uint16_t optionalHeaderBytes = ReadLe16(headers + ntHeaders + 20);
    const std::uint16_t magic = ReadLe16(headers + optionalHeader);
    if (sectionCount == 0 || (magic != kPe32Magic && magic != kPe32PlusMagic)) return std::nullopt;

    PeLayout layout;
    layout.pe32Plus = magic == kPe32PlusMagic;

    // The section table follows the optional header, whose size differs between PE32 and PE32+.
    const std::uint64_t sectionTable = optionalHeader + optionalHeaderBytes;
    if (sectionTable + std::uint64_t{sectionCount} * kSectionHeaderBytes > headerBytes) return std::nullopt;
    std::uint32_t largestPointer = 0;
    std::uint64_t imageEnd = 0;
    for (std::uint16_t i = 0; i < sectionCount; ++i) {
        const std::uint8_t* section = headers + sectionTable + std::size_t{i} * kSectionHeaderBytes;
        const std::uint32_t rawBytes = ReadLe32(section + 16);
        const std::uint32_t rawPointer = ReadLe32(section + 20);
        if (i == 0 || rawPointer > largestPointer) {
            largestPointer = rawPointer;
            imageEnd = std::uint64_t{rawPointer} + rawBytes;
        }
    }
    // A 32-bit sum would wrap and place the package inside the image.
    if (imageEnd > UINT32_MAX) return std::nullopt;
    layout.imageEnd = static_cast<std::uint32_t>(imageEnd);

    const std::size_t directoryCountOffset = layout.pe32Plus ? 108 : 92;
    const std::size_t directoriesOffset = directoryCountOffset + 4;
    if (optionalHeaderBytes >= directoryCountOffset + 4) {
        const std::uint32_t directoryCount = ReadLe32(headers + optionalHeader + directoryCountOffset);
        const std::size_t securityEntry = directoriesOffset + 8 * kSecurityDirectory;
        if (directoryCount > kSecurityDirectory && optionalHeaderBytes >= securityEntry + 8) {
            // The security directory holds a file offset, not an address.
            layout.certificateOffset = ReadLe32(headers + optionalHeader + securityEntry);
            layout.certificateBytes = ReadLe32(headers + optionalHeader + securityEntry + 4);
            if (layout.certificateBytes == 0) layout.certificateOffset = 0;
        }
    }
    return layout;
}

std::uint64_t PackageEnd(const PeLayout& layout, std::uint64_t fileBytes) {
    if (layout.certificateOffset == 0) return fileBytes;
    return std::min<std::uint64_t>(layout.certificateOffset, fileBytes);
}

bool HasPackage(const PeLayout& layout, std::uint64_t fileBytes) {
    return layout.imageEnd != 0 && PackageEnd(layout, fileBytes) > layout.imageEnd;
}

}  // namespace corvantile
