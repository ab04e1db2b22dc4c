#include "tests/support/PackageBytes.h"

#include <algorithm>

namespace corvantile::testing {

namespace {

// Windows' wchar_t is UTF-16 already.
std::u16string ToUtf16(const std::wstring& text) {
    return std::u16string(text.begin(), text.end());
}

}  // namespace

Bytes PatternBytes(std::size_t byteCount, std::uint32_t seed) {
    Bytes data(byteCount);
    std::uint32_t state = seed * 2654435761U + 1;
    for (std::size_t i = 0; i < byteCount; ++i) {
        state = state * 1664525U + 1013904223U;
        data[i] = static_cast<std::uint8_t>(state >> 24);
    }
    return data;
}

Bytes PatchLikeData(std::size_t byteCount, std::uint32_t seed) {
    Bytes data = PatternBytes(byteCount, seed);
    std::copy_n(kCompoundFileSignature.begin(), std::min(kCompoundFileSignature.size(), byteCount), data.begin());
    return data;
}

Bytes HeaderBytes(const std::wstring& productName, const std::wstring& productVersion) {
    return Concat({EncodeHeaderText(ToUtf16(productName)), EncodeHeaderText(ToUtf16(productVersion))});
}

Bytes RawHeaderText(std::uint8_t byteCount, std::uint8_t fill) {
    Bytes text(1 + std::size_t{byteCount}, fill);
    text[0] = byteCount;
    return text;
}

Bytes RecordBytes(const UpdateTableEntry& entry) {
    const EntryBytes record = EncodeEntry(entry);
    return Bytes(record.begin(), record.end());
}

Bytes TableBytes(const std::vector<UpdateFile>& files) {
    Bytes table(kEntryCountBytes);
    WriteLe32(table.data(), static_cast<std::uint32_t>(files.size()));
    for (const UpdateFile& file : files) {
        const Bytes record = RecordBytes(MakeEntry(ToUtf16(file.name), static_cast<std::uint32_t>(file.data.size())));
        table.insert(table.end(), record.begin(), record.end());
    }
    return table;
}

Bytes DataBytes(const std::vector<UpdateFile>& files) {
    Bytes data;
    for (const UpdateFile& file : files) data.insert(data.end(), file.data.begin(), file.data.end());
    return data;
}

Bytes BuildPackage(const std::vector<UpdateFile>& files) {
    return Concat({HeaderBytes(), TableBytes(files), DataBytes(files)});
}

std::size_t EntryOffset(std::size_t index) {
    return HeaderBytes().size() + kEntryCountBytes + index * kEntryBytes;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes joined;
    for (const Bytes& part : parts) joined.insert(joined.end(), part.begin(), part.end());
    return joined;
}

Bytes Prefix(const Bytes& bytes, std::size_t byteCount) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(byteCount, bytes.size())));
}

}  // namespace corvantile::testing
