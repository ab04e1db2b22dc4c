#include "package/VersionResource.h"

#include "package/PackageLayout.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace corvantile {

namespace {

constexpr std::size_t kBlockHeaderBytes = 6;  // wLength, wValueLength, wType
constexpr std::uint16_t kTextValue = 1;
constexpr std::uint32_t kVersionType = 16;  // RT_VERSION
constexpr std::uint32_t kVersionId = 1;     // VS_VERSION_INFO
constexpr std::uint32_t kSubdirectory = 0x80000000;
constexpr std::size_t kMaxVersionResourceBytes = 0xFFFF;
// Resource directories of real programs are a few kilobytes; a larger one is read no further than this.
constexpr std::size_t kMaxResourceDirectoryBytes = 1 << 20;

std::uint16_t Le16(const std::uint8_t* bytes) { return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8)); }

std::size_t Align4(std::size_t offset) { return (offset + 3) & ~std::size_t{3}; }

// One block of a version resource: a key, a value and child blocks, each starting on a 4-byte boundary.
struct Block {
    std::u16string key;
    std::size_t valueBegin = 0;
    std::size_t childrenBegin = 0;
    std::size_t end = 0;
    bool textValue = false;
};

std::optional<Block> ReadBlock(const std::uint8_t* bytes, std::size_t begin, std::size_t limit) {
    if (begin + kBlockHeaderBytes > limit) return std::nullopt;
    const std::size_t length = Le16(bytes + begin);
    if (length < kBlockHeaderBytes || begin + length > limit) return std::nullopt;
    Block block;
    block.end = begin + length;
    const std::size_t valueLength = Le16(bytes + begin + 2);
    block.textValue = Le16(bytes + begin + 4) == kTextValue;
    std::size_t cursor = begin + kBlockHeaderBytes;
    for (;; cursor += 2) {
        if (cursor + 2 > block.end) return std::nullopt;  // a key without its NUL
        const char16_t c = static_cast<char16_t>(Le16(bytes + cursor));
        if (c == u'\0') break;
        block.key += c;
    }
    block.valueBegin = std::min(Align4(cursor + 2), block.end);
    // A text's length counts characters, other values count bytes.
    const std::size_t valueBytes = block.textValue ? 2 * valueLength : valueLength;
    block.childrenBegin = std::min(Align4(block.valueBegin + valueBytes), block.end);
    return block;
}

// Calls visit for each child of the block; false when one of them is damaged.
template <typename Visit>
bool ForEachChild(const std::uint8_t* bytes, const Block& parent, Visit visit) {
    for (std::size_t cursor = parent.childrenBegin; cursor + kBlockHeaderBytes <= parent.end;) {
        const std::optional<Block> child = ReadBlock(bytes, cursor, parent.end);
        if (!child) return false;
        visit(*child);
        cursor = Align4(child->end);
    }
    return true;
}

// A text value up to its NUL or the end of its block; builders differ in what its length counts.
std::u16string TextValue(const std::uint8_t* bytes, const Block& block) {
    std::u16string text;
    for (std::size_t cursor = block.valueBegin; cursor + 2 <= block.end; cursor += 2) {
        const char16_t c = static_cast<char16_t>(Le16(bytes + cursor));
        if (c == u'\0') break;
        text += c;
    }
    return text;
}

struct Section {
    std::uint32_t virtualAddress = 0;
    std::uint32_t virtualBytes = 0;
    std::uint32_t rawBytes = 0;
    std::uint32_t rawPointer = 0;
};

// The file offset of an address and how many bytes of its section's raw data follow it there.
std::optional<std::pair<std::uint64_t, std::uint64_t>> FileOffsetOf(const std::vector<Section>& sections,
                                                                    std::uint32_t address) {
    for (const Section& section : sections) {
        const std::uint64_t inside = std::uint64_t{address} - section.virtualAddress;
        if (address < section.virtualAddress || inside >= std::max(section.virtualBytes, section.rawBytes)) continue;
        if (inside >= section.rawBytes) return std::nullopt;  // in the part the loader fills with zeros
        return std::make_pair(section.rawPointer + inside, section.rawBytes - inside);
    }
    return std::nullopt;
}

// The OffsetToData of the directory's entry with this id (or of its first entry when id is empty).
std::optional<std::uint32_t> FindEntry(const std::vector<std::uint8_t>& directory, std::uint64_t offset,
                                       std::optional<std::uint32_t> id) {
    if (offset + 16 > directory.size()) return std::nullopt;
    const std::size_t named = Le16(directory.data() + offset + 12);
    const std::size_t total = named + Le16(directory.data() + offset + 14);
    for (std::size_t i = id ? named : 0; i < total; ++i) {
        const std::uint64_t entry = offset + 16 + 8 * std::uint64_t{i};
        if (entry + 8 > directory.size()) return std::nullopt;
        if (!id || ReadLe32(directory.data() + entry) == *id) return ReadLe32(directory.data() + entry + 4);
    }
    return std::nullopt;
}

std::optional<std::vector<Section>> ReadSections(const FileReader& read, std::uint32_t& resourceAddress) {
    std::uint8_t dos[64];
    if (!read(0, sizeof dos, dos) || dos[0] != 'M' || dos[1] != 'Z') return std::nullopt;
    const std::uint64_t ntHeaders = ReadLe32(dos + 60);
    std::uint8_t fileHeader[24];
    if (!read(ntHeaders, sizeof fileHeader, fileHeader) || std::memcmp(fileHeader, "PE\0\0", 4) != 0) {
        return std::nullopt;
    }
    const std::size_t sectionCount = Le16(fileHeader + 6);
    const std::size_t optionalBytes = Le16(fileHeader + 20);
    std::vector<std::uint8_t> optional(optionalBytes);
    if (optionalBytes < 2 || !read(ntHeaders + 24, optionalBytes, optional.data())) return std::nullopt;
    const bool pe32Plus = Le16(optional.data()) == 0x20B;
    const std::size_t directoryCountOffset = pe32Plus ? 108 : 92;
    const std::size_t resourceEntry = directoryCountOffset + 4 + 8 * 2;
    if (optionalBytes < resourceEntry + 8 || ReadLe32(optional.data() + directoryCountOffset) <= 2) return std::nullopt;
    resourceAddress = ReadLe32(optional.data() + resourceEntry);
    if (resourceAddress == 0) return std::nullopt;

    std::vector<std::uint8_t> table(40 * sectionCount);
    if (!read(ntHeaders + 24 + optionalBytes, table.size(), table.data())) return std::nullopt;
    std::vector<Section> sections(sectionCount);
    for (std::size_t i = 0; i < sectionCount; ++i) {
        const std::uint8_t* header = table.data() + 40 * i;
        sections[i] = {ReadLe32(header + 12), ReadLe32(header + 8), ReadLe32(header + 16), ReadLe32(header + 20)};
    }
    return sections;
}

}  // namespace

std::optional<VersionStrings> ReadVersionStrings(const std::uint8_t* bytes, std::size_t byteCount) {
    const std::optional<Block> root = bytes == nullptr ? std::nullopt : ReadBlock(bytes, 0, byteCount);
    if (!root || root->key != u"VS_VERSION_INFO") return std::nullopt;
    VersionStrings strings;
    bool tableSeen = false;
    bool damaged = false;
    const auto readTable = [&](const Block& table) {
        if (tableSeen) return;
        tableSeen = true;
        damaged |= !ForEachChild(bytes, table, [&](const Block& value) {
            if (value.key == u"ProductName") strings.productName = TextValue(bytes, value);
            if (value.key == u"ProductVersion") strings.productVersion = TextValue(bytes, value);
        });
    };
    damaged |= !ForEachChild(bytes, *root, [&](const Block& fileInfo) {
        if (fileInfo.key == u"StringFileInfo") damaged |= !ForEachChild(bytes, fileInfo, readTable);
    });
    if (damaged) return std::nullopt;
    return strings;
}

std::optional<std::vector<std::uint8_t>> ReadVersionResource(const FileReader& read) {
    std::uint32_t resourceAddress = 0;
    const std::optional<std::vector<Section>> sections = ReadSections(read, resourceAddress);
    if (!sections) return std::nullopt;
    const auto resources = FileOffsetOf(*sections, resourceAddress);
    if (!resources) return std::nullopt;
    std::vector<std::uint8_t> directory(
        static_cast<std::size_t>(std::min<std::uint64_t>(resources->second, kMaxResourceDirectoryBytes)));
    if (!read(resources->first, directory.size(), directory.data())) return std::nullopt;

    // Type, then name, then language; the first two lead to subdirectories, the last to a data entry.
    const std::optional<std::uint32_t> type = FindEntry(directory, 0, kVersionType);
    if (!type || (*type & kSubdirectory) == 0) return std::nullopt;
    const std::optional<std::uint32_t> name = FindEntry(directory, *type & ~kSubdirectory, kVersionId);
    if (!name || (*name & kSubdirectory) == 0) return std::nullopt;
    const std::optional<std::uint32_t> language = FindEntry(directory, *name & ~kSubdirectory, std::nullopt);
    if (!language || (*language & kSubdirectory) != 0 || std::uint64_t{*language} + 16 > directory.size()) {
        return std::nullopt;
    }
    const std::uint32_t dataAddress = ReadLe32(directory.data() + *language);
    const std::uint32_t dataBytes = ReadLe32(directory.data() + *language + 4);
    const auto data = FileOffsetOf(*sections, dataAddress);
    if (!data || dataBytes > kMaxVersionResourceBytes || dataBytes > data->second) return std::nullopt;
    std::vector<std::uint8_t> bytes(dataBytes);
    if (!read(data->first, bytes.size(), bytes.data())) return std::nullopt;
    return bytes;
}

}  // namespace corvantile
