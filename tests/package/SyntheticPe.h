// Tiny PE files for tests: the headers that locate the package, written field by field, and section data.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
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
        bytes[0] = 'M';
        bytes[1] = 'Z';
        Put32(bytes, 60, peHeaderOffset);
        bytes[peHeaderOffset] = 'P';
        bytes[peHeaderOffset + 1] = 'E';
        Put16(bytes, peHeaderOffset + 4, pe32Plus ? 0x8664 : 0x14C);
        Put16(bytes, peHeaderOffset + 6, static_cast<std::uint16_t>(sections.size()));
        Put16(bytes, peHeaderOffset + 20, DeclaredOptionalHeaderBytes());
        Put16(bytes, OptionalHeaderOffset(), pe32Plus ? 0x20B : 0x10B);
        Put32(bytes, DataDirectoriesOffset() - 4, directoryCount);
        if (SecurityDirectoryOffset() + 8 <= SectionTableOffset()) {
            Put32(bytes, SecurityDirectoryOffset(), certificateOffset);
            Put32(bytes, SecurityDirectoryOffset() + 4, certificateBytes);
        }
        for (std::size_t i = 0; i < sections.size(); ++i) {
            const std::size_t header = SectionTableOffset() + 40 * i;
            std::copy_n(".sect\0\0\0", 8, bytes.begin() + static_cast<std::ptrdiff_t>(header));
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
