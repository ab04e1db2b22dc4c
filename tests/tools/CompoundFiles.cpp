#include "tests/tools/CompoundFiles.h"

#include <algorithm>
#include <cstdio>

namespace corvantile::testing {

namespace {

constexpr std::size_t kSectorBytes = 512;
constexpr std::size_t kMiniSectorBytes = 64;
constexpr std::size_t kMiniStreamCutoff = 4096;
constexpr std::size_t kEntriesPerSector = kSectorBytes / 4;
constexpr std::uint32_t kFreeSector = 0xFFFFFFFF;
constexpr std::uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr std::uint32_t kFatSector = 0xFFFFFFFD;
constexpr std::uint32_t kNoStream = 0xFFFFFFFF;

void Put16(Bytes& bytes, std::size_t at, std::uint32_t value) {
    bytes[at] = static_cast<std::uint8_t>(value);
    bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}
void Put32(Bytes& bytes, std::size_t at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}
// Little-endian 32-bit words: header fields, property offsets, allocation tables.
Bytes Words(const std::vector<std::uint32_t>& words) {
    Bytes bytes(4 * words.size());
    for (std::size_t i = 0; i < words.size(); ++i) Put32(bytes, 4 * i, words[i]);
    return bytes;
}
void Append(Bytes& bytes, const Bytes& more) { bytes.insert(bytes.end(), more.begin(), more.end()); }

std::size_t SectorsFor(std::size_t bytes, std::size_t unit) { return (bytes + unit - 1) / unit; }
// Fills up the last `unit` with `fill`.
void PadTo(Bytes& bytes, std::size_t unit, std::uint8_t fill = 0) {
    bytes.resize(SectorsFor(bytes.size(), unit) * unit, fill);
}

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" as stored: the first three fields little-endian.
Bytes ClassIdBytes(const std::string& text) {
    unsigned a = 0, b = 0, c = 0, d[8]{};
    std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &a, &b, &c, &d[0], &d[1], &d[2], &d[3], &d[4],
                &d[5], &d[6], &d[7]);
    Bytes bytes(16);
    Put32(bytes, 0, a);
    Put16(bytes, 4, b);
    Put16(bytes, 6, c);
    for (int i = 0; i < 8; ++i) bytes[8 + i] = static_cast<std::uint8_t>(d[i]);
    return bytes;
}

// Directory order: shorter names first, then by upper-cased code units.
bool NameLess(const std::u16string& a, const std::u16string& b) {
    if (a.size() != b.size()) return a.size() < b.size();
    const auto upper = [](char16_t c) { return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 32) : c; };
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [&](char16_t x, char16_t y) { return upper(x) < upper(y); });
}

// Adds a chain of `count` sectors to an allocation table (the FAT or the mini FAT); gives its first sector.
std::uint32_t AppendChain(std::vector<std::uint32_t>& table, std::size_t count) {
    const auto first = static_cast<std::uint32_t>(table.size());
    for (std::size_t k = 1; k <= count; ++k) table.push_back(k == count ? kEndOfChain : first + k);
    return count == 0 ? kEndOfChain : first;
}

}  // namespace

Bytes CompoundFile(const std::string& classId, const std::vector<Stream>& unsortedStreams) {
    std::vector<Stream> streams = unsortedStreams;
    std::sort(streams.begin(), streams.end(),
              [](const Stream& a, const Stream& b) { return NameLess(a.name, b.name); });
    const auto large = [](const Stream& stream) { return stream.data.size() >= kMiniStreamCutoff; };

    // Small streams live in the mini stream, in 64-byte mini sectors; the others in sectors of their own.
    Bytes miniStream;
    std::vector<std::uint32_t> miniFat;
    std::vector<std::uint32_t> starts(streams.size(), kEndOfChain);
    std::size_t largeSectors = 0;
    for (std::size_t i = 0; i < streams.size(); ++i) {
        if (large(streams[i])) {
            largeSectors += SectorsFor(streams[i].data.size(), kSectorBytes);
        } else if (!streams[i].data.empty()) {
            starts[i] = AppendChain(miniFat, SectorsFor(streams[i].data.size(), kMiniSectorBytes));
            Append(miniStream, streams[i].data);
            PadTo(miniStream, kMiniSectorBytes);
        }
    }
    const std::size_t directorySectors = SectorsFor((streams.size() + 1) * 128, kSectorBytes);
    const std::size_t miniFatSectors = SectorsFor(miniFat.size() * 4, kSectorBytes);
    const std::size_t miniStreamSectors = SectorsFor(miniStream.size(), kSectorBytes);
    const std::size_t otherSectors = directorySectors + miniFatSectors + miniStreamSectors + largeSectors;
    std::size_t fatSectors = 1;
    while (fatSectors * kEntriesPerSector < fatSectors + otherSectors) ++fatSectors;

    // Sectors in this order: FAT, directory, mini FAT, mini stream, then each large stream.
    std::vector<std::uint32_t> fat(fatSectors, kFatSector);
    const std::uint32_t directoryStart = AppendChain(fat, directorySectors);
    const std::uint32_t miniFatStart = AppendChain(fat, miniFatSectors);
    const std::uint32_t miniStreamStart = AppendChain(fat, miniStreamSectors);
    for (std::size_t i = 0; i < streams.size(); ++i) {
        if (large(streams[i])) starts[i] = AppendChain(fat, SectorsFor(streams[i].data.size(), kSectorBytes));
    }
    fat.resize(fatSectors * kEntriesPerSector, kFreeSector);

    Bytes file{0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    file.resize(kSectorBytes);
    Put16(file, 24, 0x3E);
    Put16(file, 26, 3);
    Put16(file, 28, 0xFFFE);
    Put16(file, 30, 9);
    Put16(file, 32, 6);
    Put32(file, 44, static_cast<std::uint32_t>(fatSectors));
    Put32(file, 48, directoryStart);
    Put32(file, 56, kMiniStreamCutoff);
    Put32(file, 60, miniFatStart);
    Put32(file, 64, static_cast<std::uint32_t>(miniFatSectors));
    Put32(file, 68, kEndOfChain);
    for (std::size_t i = 0; i < 109; ++i)
        Put32(file, 76 + 4 * i, i < fatSectors ? static_cast<std::uint32_t>(i) : kFreeSector);
    Append(file, Words(fat));

    // The root, then the streams as a chain of right siblings in directory order. Every entry, the unused
    // ones too, starts with no left sibling, no right sibling and no child.
    Bytes directory(directorySectors * kSectorBytes, 0);
    for (std::size_t at = 0; at < directory.size(); at += 128) {
        for (const std::size_t link : {68, 72, 76}) Put32(directory, at + link, kNoStream);
    }
    const auto putEntry = [&](std::size_t index, const std::u16string& name, std::uint8_t type, std::uint32_t right,
                              std::uint32_t child, std::uint32_t start, std::size_t size) {
        const std::size_t at = index * 128;
        for (std::size_t k = 0; k < name.size(); ++k) Put16(directory, at + 2 * k, name[k]);
        Put16(directory, at + 64, static_cast<std::uint32_t>(2 * (name.size() + 1)));
        directory[at + 66] = type;
        directory[at + 67] = 1;  // black
        Put32(directory, at + 72, right);
        Put32(directory, at + 76, child);
        Put32(directory, at + 116, start);
        Put32(directory, at + 120, static_cast<std::uint32_t>(size));
    };
    putEntry(0, u"Root Entry", 5, kNoStream, streams.empty() ? kNoStream : 1, miniStreamStart, miniStream.size());
    const Bytes classBytes = ClassIdBytes(classId);
    std::copy(classBytes.begin(), classBytes.end(), directory.begin() + 80);
    for (std::size_t i = 0; i < streams.size(); ++i) {
        const std::uint32_t right = i + 1 < streams.size() ? static_cast<std::uint32_t>(i + 2) : kNoStream;
        putEntry(i + 1, streams[i].name, 2, right, kNoStream, starts[i], streams[i].data.size());
    }
    Append(file, directory);

    Bytes miniFatBytes = Words(miniFat);
    PadTo(miniFatBytes, kSectorBytes, 0xFF);
    Append(file, miniFatBytes);
    PadTo(miniStream, kSectorBytes);
    Append(file, miniStream);
    for (const Stream& stream : streams) {
        if (!large(stream)) continue;
        Append(file, stream.data);
        PadTo(file, kSectorBytes);
    }
    return file;
}

Bytes SummaryInformation(const std::vector<std::pair<std::uint32_t, std::string>>& texts) {
    constexpr std::uint32_t kCodePage = 1, kI2 = 2, kLpstr = 30;
    std::vector<std::pair<std::uint32_t, Bytes>> values{{kCodePage, Words({kI2, 1252})}};
    for (const auto& [id, text] : texts) {
        Bytes value = Words({kLpstr, static_cast<std::uint32_t>(text.size() + 1)});
        value.insert(value.end(), text.begin(), text.end());
        value.push_back(0);
        PadTo(value, 4);
        values.emplace_back(id, value);
    }
    // Its size, known at the end, and the property count; then each property's id and offset.
    Bytes section = Words({0, static_cast<std::uint32_t>(values.size())});
    std::uint32_t offset = static_cast<std::uint32_t>(8 + 8 * values.size());
    for (const auto& [id, value] : values) {
        Append(section, Words({id, offset}));
        offset += static_cast<std::uint32_t>(value.size());
    }
    for (const auto& [id, value] : values) Append(section, value);
    Put32(section, 0, static_cast<std::uint32_t>(section.size()));

    Bytes set(28, 0);
    Put16(set, 0, 0xFFFE);
    Put32(set, 4, 0x00020006);
    Put32(set, 24, 1);
    Append(set, ClassIdBytes("{F29F85E0-4FF9-1068-AB91-08002B27B3D9}"));
    Append(set, Words({static_cast<std::uint32_t>(set.size() + 4)}));
    Append(set, section);
    return set;
}

Bytes InstallerFileBytes(const InstallerFile& file) {
    std::vector<std::pair<std::uint32_t, std::string>> texts;
    if (file.withTargets) texts.emplace_back(7, file.targets);
    texts.emplace_back(9, file.revisionNumber);
    // The Installer's encoded names of the string pool's two streams: a 4-byte pool and no string data.
    std::vector<Stream> streams{
        {u"\u0005SummaryInformation", SummaryInformation(texts)},
        {u"\u4840\u3F3F\u4577\u446C\u3E6A\u44B2\u482F", Bytes{0xE4, 0x04, 0x00, 0x00}},
        {u"\u4840\u3F3F\u4577\u446C\u3B6A\u45E4\u4824", Bytes{}},
    };
    if (file.paddingBytes != 0) {
        Bytes padding(file.paddingBytes);
        for (std::size_t i = 0; i < padding.size(); ++i) padding[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
        streams.push_back({u"Padding", padding});
    }
    return CompoundFile(file.classId, streams);
}

}  // namespace corvantile::testing
