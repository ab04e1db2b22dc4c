#include "tests/support/PackageBytes.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace corvantile::testing {

namespace {

constexpr std::size_t kLfanewOffset = 60;
constexpr std::size_t kOptionalHeaderOffset = 4 + 20;  // behind the PE signature and the file header
constexpr std::size_t kSecurityDirectoryIndex = 4;
constexpr std::uint16_t kCertificateRevision = 0x0200;  // WIN_CERT_REVISION_2_0
constexpr std::uint16_t kCertificateTypePkcs = 0x0002;  // WIN_CERT_TYPE_PKCS_SIGNED_DATA

std::uint16_t ReadLe16(const std::uint8_t* bytes) { return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8)); }

}  // namespace

std::u16string Utf16(const std::wstring& text) {
    std::u16string units;
    for (const wchar_t c : text) {
        const auto codePoint = static_cast<std::uint32_t>(c);
        if (codePoint > 0xFFFF) {
            units += static_cast<char16_t>(0xD800 + ((codePoint - 0x10000) >> 10));
            units += static_cast<char16_t>(0xDC00 + ((codePoint - 0x10000) & 0x3FF));
        } else {
            units += static_cast<char16_t>(codePoint);
        }
    }
    return units;
}

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
    return Concat({EncodeHeaderText(Utf16(productName)), EncodeHeaderText(Utf16(productVersion))});
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
        const Bytes record = RecordBytes(MakeEntry(Utf16(file.name), static_cast<std::uint32_t>(file.data.size())));
        table.insert(table.end(), record.begin(), record.end());
    }
    return table;
}

Bytes DataBytes(const std::vector<UpdateFile>& files) {
    Bytes data;
    for (const UpdateFile& file : files) data.insert(data.end(), file.data.begin(), file.data.end());
    return data;
}

Bytes BuildPackage(const std::vector<UpdateFile>& files, const std::wstring& productName,
                   const std::wstring& productVersion) {
    return Concat({HeaderBytes(productName, productVersion), TableBytes(files), DataBytes(files)});
}

std::size_t EntryOffset(std::size_t index) { return HeaderBytes().size() + kEntryCountBytes + index * kEntryBytes; }

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes joined;
    for (const Bytes& part : parts) joined.insert(joined.end(), part.begin(), part.end());
    return joined;
}

Bytes Prefix(const Bytes& bytes, std::size_t byteCount) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(byteCount, bytes.size())));
}

Bytes CertificateTable(std::size_t byteCount) {
    Bytes certificate(std::max<std::size_t>(byteCount, 8), 0);
    WriteLe32(certificate.data(), static_cast<std::uint32_t>(certificate.size()));
    // wRevision, then wCertificateType: two 16-bit fields.
    WriteLe32(certificate.data() + 4, kCertificateRevision | std::uint32_t{kCertificateTypePkcs} << 16);
    for (std::size_t i = 8; i < certificate.size(); ++i) certificate[i] = static_cast<std::uint8_t>(0x30 + i * 7);
    return certificate;
}

std::uint32_t AppendCertificateTable(Bytes& file, const Bytes& certificate) {
    file.resize((file.size() + 7) / 8 * 8, 0);
    const auto offset = static_cast<std::uint32_t>(file.size());
    file.insert(file.end(), certificate.begin(), certificate.end());
    return offset;
}

std::optional<std::size_t> SecurityDirectoryOffset(const Bytes& image) {
    if (image.size() < kLfanewOffset + 4 || image[0] != 'M' || image[1] != 'Z') return std::nullopt;
    const std::size_t optionalHeader = std::size_t{ReadLe32(image.data() + kLfanewOffset)} + kOptionalHeaderOffset;
    if (optionalHeader + 2 > image.size()) return std::nullopt;
    const std::uint16_t optionalHeaderBytes = ReadLe16(image.data() + optionalHeader - 4);
    const std::uint16_t magic = ReadLe16(image.data() + optionalHeader);
    if (magic != 0x10B && magic != 0x20B) return std::nullopt;
    // The data directories follow the standard and Windows fields, 96 bytes of them in PE32, 112 in PE32+,
    // behind the count of directories.
    const std::size_t directories = magic == 0x20B ? 112 : 96;
    const std::size_t entry = directories + 8 * kSecurityDirectoryIndex;
    if (optionalHeaderBytes < entry + 8 || optionalHeader + entry + 8 > image.size() ||
        ReadLe32(image.data() + optionalHeader + directories - 4) <= kSecurityDirectoryIndex) {
        return std::nullopt;
    }
    return optionalHeader + entry;
}

bool SetSecurityDirectory(Bytes& image, std::uint32_t offset, std::uint32_t byteCount) {
    const std::optional<std::size_t> directory = SecurityDirectoryOffset(image);
    if (!directory) return false;
    WriteLe32(image.data() + *directory, offset);
    WriteLe32(image.data() + *directory + 4, byteCount);
    return true;
}

std::optional<SignedUpdater> SignLooking(Bytes updater, const Bytes& certificate) {
    const std::optional<PeLayout> layout = ReadPeLayout(updater.data(), updater.size());
    if (!layout || layout->certificateOffset != 0) return std::nullopt;
    const std::size_t unsignedBytes = updater.size();
    const std::uint32_t offset = AppendCertificateTable(updater, certificate);
    if (!SetSecurityDirectory(updater, offset, static_cast<std::uint32_t>(certificate.size()))) return std::nullopt;
    // The updater must see the certificate table where it was put.
    const std::optional<PeLayout> signedLayout = ReadPeLayout(updater.data(), updater.size());
    if (!signedLayout || signedLayout->certificateOffset != offset || signedLayout->imageEnd != layout->imageEnd) {
        return std::nullopt;
    }
    return SignedUpdater{std::move(updater), offset - unsignedBytes, offset};
}

Bytes ReadAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace corvantile::testing
