// Tiny PE files for tests: the headers that locate the package, written field by field, and section data.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace corvantile::testing {

struct SyntheticSection {
    std::uint32_t rawBytes = 0;
    std::uint32_t rawPointer = 0;
};

struct SyntheticPe {
    bool pe32Plus = true;
    std::uint32_t peHeaderOffset = 0x80;  // e_lfanew
    // 0 means the usual size: the standard fields and 16 data directories.
    std::uint16_t optionalHeaderBytes = 0;
    std::uint32_t directoryCount = 16;
    std::vector<SyntheticSection> sections{{0x200, 0x200}};
    std::uint32_t certificateOffset = 0;
    std::uint32_t certificateBytes = 0;
    // The updater's mark: a version resource at the start of the last section, whose addresses equal its file
    // offsets. None when the product name is empty or the section is too small for it.
    std::u16string productName = u"Corvantile Updater";

    [[nodiscard]] std::size_t OptionalHeaderOffset() const { return peHeaderOffset + 24; }
    [[nodiscard]] std::size_t DataDirectoriesOffset() const { return OptionalHeaderOffset() + (pe32Plus ? 112 : 96); }
    // The certificate table's entry is the fifth data directory.
    [[nodiscard]] std::size_t SecurityDirectoryOffset() const { return DataDirectoriesOffset() + 4 * 8; }
    [[nodiscard]] std::uint16_t DeclaredOptionalHeaderBytes() const {
        if (optionalHeaderBytes != 0) return optionalHeaderBytes;
        return static_cast<std::uint16_t>((pe32Plus ? 112 : 96) + 16 * 8);
    }
    [[nodiscard]] std::size_t SectionTableOffset() const {
        return OptionalHeaderOffset() + DeclaredOptionalHeaderBytes();
    }
    [[nodiscard]] std::size_t HeaderBytes() const { return SectionTableOffset() + 40 * sections.size(); }

    // The headers, ending with the section table.
    [[nodiscard]] std::vector<std::uint8_t> Headers() const {
        std::vector<std::uint8_t> bytes(HeaderBytes());
        std::copy_n("MZ", 2, bytes.begin());
        Put32(bytes, 60, peHeaderOffset);
        std::copy_n("PE", 2, bytes.begin() + peHeaderOffset);
        Put16(bytes, peHeaderOffset + 4, pe32Plus ? 0x8664 : 0x14C);
        Put16(bytes, peHeaderOffset + 6, static_cast<std::uint16_t>(sections.size()));
        Put16(bytes, peHeaderOffset + 20, DeclaredOptionalHeaderBytes());
        Put16(bytes, OptionalHeaderOffset(), pe32Plus ? 0x20B : 0x10B);
        Put32(bytes, DataDirectoriesOffset() - 4, directoryCount);
        if (SecurityDirectoryOffset() + 8 <= SectionTableOffset()) {
            Put32(bytes, SecurityDirectoryOffset(), certificateOffset);
            Put32(bytes, SecurityDirectoryOffset() + 4, certificateBytes);
        }
        if (HasVersionResource() && DataDirectoriesOffset() + 24 <= SectionTableOffset() && directoryCount > 2) {
            Put32(bytes, DataDirectoriesOffset() + 16, sections.back().rawPointer);
            Put32(bytes, DataDirectoriesOffset() + 20, static_cast<std::uint32_t>(Resources().size()));
        }
        for (std::size_t i = 0; i < sections.size(); ++i) {
            const std::size_t header = SectionTableOffset() + 40 * i;
            std::copy_n(".sect\0\0\0", 8, bytes.begin() + static_cast<std::ptrdiff_t>(header));
            Put32(bytes, header + 8, sections[i].rawBytes);
            Put32(bytes, header + 12, sections[i].rawPointer);
            Put32(bytes, header + 16, sections[i].rawBytes);
            Put32(bytes, header + 20, sections[i].rawPointer);
        }
        return bytes;
    }

    // A whole file that ends with the last section's raw data; the sections hold a byte pattern.
    [[nodiscard]] std::vector<std::uint8_t> File() const {
        std::vector<std::uint8_t> bytes = Headers();
        for (const SyntheticSection& section : sections) {
            const std::size_t end = std::size_t{section.rawPointer} + section.rawBytes;
            if (bytes.size() < end) bytes.resize(end);
            for (std::size_t i = section.rawPointer; i < end; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
        }
        if (HasVersionResource()) {
            const std::vector<std::uint8_t> resources = Resources();
            std::copy(resources.begin(), resources.end(), bytes.begin() + sections.back().rawPointer);
        }
        return bytes;
    }

    [[nodiscard]] bool HasVersionResource() const {
        return !productName.empty() && !sections.empty() && sections.back().rawPointer != 0 &&
               Resources().size() <= sections.back().rawBytes;
    }

    // A resource directory (type 16, id 1, language 1033) and the version resource behind it, at the last
    // section's start.
    [[nodiscard]] std::vector<std::uint8_t> Resources() const {
        std::vector<std::uint8_t> bytes(88);
        const auto directory = [&](std::size_t at, std::uint32_t id, std::uint32_t target) {
            Put16(bytes, at + 14, 1);  // one entry with an id
            Put32(bytes, at + 16, id);
            Put32(bytes, at + 20, target);
        };
        directory(0, 16, 0x80000000u | 24);
        directory(24, 1, 0x80000000u | 48);
        directory(48, 0x409, 72);
        const std::vector<std::uint8_t> version = VersionInfo();
        Put32(bytes, 72, static_cast<std::uint32_t>(sections.back().rawPointer + bytes.size()));
        Put32(bytes, 76, static_cast<std::uint32_t>(version.size()));
        bytes.insert(bytes.end(), version.begin(), version.end());
        return bytes;
    }

    // VS_VERSIONINFO with a fixed part and one string table holding ProductName and ProductVersion.
    [[nodiscard]] std::vector<std::uint8_t> VersionInfo() const {
        std::vector<std::uint8_t> fixed(52);
        Put32(fixed, 0, 0xFEEF04BD);
        const auto value = [](const std::u16string& key, const std::u16string& text) {
            return Block(key, Utf16z(text), static_cast<std::uint16_t>(text.size() + 1), true, {});
        };
        const std::vector<std::uint8_t> table =
            Block(u"040904B0", {}, 0, true, {value(u"ProductName", productName), value(u"ProductVersion", u"0.1.0")});
        return Block(u"VS_VERSION_INFO", fixed, 52, false, {Block(u"StringFileInfo", {}, 0, true, {table})});
    }

    static std::vector<std::uint8_t> Block(const std::u16string& key, const std::vector<std::uint8_t>& value,
                                           std::uint16_t valueLength, bool textValue,
                                           const std::vector<std::vector<std::uint8_t>>& children) {
        std::vector<std::uint8_t> bytes(6);
        Put16(bytes, 2, valueLength);
        Put16(bytes, 4, textValue ? 1 : 0);
        const std::vector<std::uint8_t> keyBytes = Utf16z(key);
        bytes.insert(bytes.end(), keyBytes.begin(), keyBytes.end());
        const auto pad = [&] { bytes.resize((bytes.size() + 3) & ~std::size_t{3}); };
        pad();
        bytes.insert(bytes.end(), value.begin(), value.end());
        for (const std::vector<std::uint8_t>& child : children) {
            pad();
            bytes.insert(bytes.end(), child.begin(), child.end());
        }
        Put16(bytes, 0, static_cast<std::uint16_t>(bytes.size()));
        return bytes;
    }

    // UTF-16LE with its terminating NUL.
    static std::vector<std::uint8_t> Utf16z(const std::u16string& text) {
        std::vector<std::uint8_t> bytes;
        for (const char16_t c : text + u'\0') {
            bytes.push_back(static_cast<std::uint8_t>(c));
            bytes.push_back(static_cast<std::uint8_t>(c >> 8));
        }
        return bytes;
    }
    static void Put16(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint16_t value) {
        bytes[offset] = static_cast<std::uint8_t>(value);
        bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
    }
    static void Put32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t value) {
        for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
    }
};

}  // namespace corvantile::testing
