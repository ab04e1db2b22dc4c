#include "tests/blackbox/support/UpdaterBuilder.h"

#include <windows.h>

#include <algorithm>

namespace corvantile::blackbox {

namespace {

constexpr std::size_t kHeaderProbeBytes = 4096;
constexpr std::size_t kLfanewOffset = 60;
constexpr std::size_t kOptionalHeaderOffset = 4 + 20;       // behind the PE signature and the file header
constexpr std::size_t kPe32PlusDirectoriesOffset = 112;     // of the data directories in a PE32+ optional header
constexpr std::size_t kSecurityDirectoryIndex = 4;
constexpr std::uint16_t kCertificateRevision = 0x0200;      // WIN_CERT_REVISION_2_0
constexpr std::uint16_t kCertificateTypePkcs = 0x0002;      // WIN_CERT_TYPE_PKCS_SIGNED_DATA
constexpr std::size_t kCertificateBytes = 256;

std::u16string ToUtf16(const std::wstring& text) {
    return std::u16string(text.begin(), text.end());
}

// A WIN_CERTIFICATE record: length, revision, type, then content (here filler of DER's look).
Bytes CertificateTable() {
    Bytes certificate(kCertificateBytes, 0);
    WriteLe32(certificate.data(), static_cast<std::uint32_t>(kCertificateBytes));
    certificate[4] = static_cast<std::uint8_t>(kCertificateRevision);
    certificate[5] = static_cast<std::uint8_t>(kCertificateRevision >> 8);
    certificate[6] = static_cast<std::uint8_t>(kCertificateTypePkcs);
    certificate[7] = static_cast<std::uint8_t>(kCertificateTypePkcs >> 8);
    for (std::size_t i = 8; i < certificate.size(); ++i) certificate[i] = static_cast<std::uint8_t>(0x30 + i * 7);
    return certificate;
}

}  // namespace

Bytes PatchLikeData(std::size_t byteCount, std::uint32_t seed) {
    Bytes data(byteCount);
    std::uint32_t state = seed * 2654435761U + 1;
    for (std::size_t i = 0; i < byteCount; ++i) {
        state = state * 1664525U + 1013904223U;
        data[i] = static_cast<std::uint8_t>(state >> 24);
    }
    const std::size_t signatureBytes = std::min(kCompoundFileSignature.size(), byteCount);
    std::copy_n(kCompoundFileSignature.begin(), signatureBytes, data.begin());
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

Bytes BuildPackage(const std::wstring& productName, const std::wstring& productVersion,
                   const std::vector<UpdateFile>& files) {
    return Concat({HeaderBytes(productName, productVersion), TableBytes(files), DataBytes(files)});
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes joined;
    for (const Bytes& part : parts) joined.insert(joined.end(), part.begin(), part.end());
    return joined;
}

Bytes Prefix(const Bytes& bytes, std::size_t byteCount) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(byteCount, bytes.size())));
}

std::wstring BuiltUpdaterPath() {
    return JoinPath(OwnDirectory(), L"CorvantileUpdater.exe");
}

std::optional<PeLayout> BuiltUpdaterLayout() {
    const std::optional<Bytes> image = ReadFileBytes(BuiltUpdaterPath());
    if (!image) return std::nullopt;
    return ReadPeLayout(image->data(), std::min(image->size(), kHeaderProbeBytes));
}

bool MakeUpdater(const std::wstring& path, const Bytes& package) {
    return ::CopyFileW(BuiltUpdaterPath().c_str(), path.c_str(), TRUE) && AppendFileBytes(path, package);
}

std::optional<SignedUpdater> MakeSignedLookingUpdater(const std::wstring& path, const Bytes& package) {
    std::optional<Bytes> image = ReadFileBytes(BuiltUpdaterPath());
    if (!image) return std::nullopt;
    const std::optional<PeLayout> layout = ReadPeLayout(image->data(), std::min(image->size(), kHeaderProbeBytes));
    if (!layout || !layout->pe32Plus || layout->certificateOffset != 0) return std::nullopt;

    SignedUpdater signedUpdater;
    image->insert(image->end(), package.begin(), package.end());
    signedUpdater.paddingBytes = (8 - image->size() % 8) % 8;
    image->resize(image->size() + signedUpdater.paddingBytes, 0);
    signedUpdater.certificateOffset = static_cast<std::uint32_t>(image->size());
    const Bytes certificate = CertificateTable();
    image->insert(image->end(), certificate.begin(), certificate.end());

    const std::size_t optionalHeader = ReadLe32(image->data() + kLfanewOffset) + kOptionalHeaderOffset;
    std::uint8_t* securityDirectory =
        image->data() + optionalHeader + kPe32PlusDirectoriesOffset + 8 * kSecurityDirectoryIndex;
    WriteLe32(securityDirectory, signedUpdater.certificateOffset);
    WriteLe32(securityDirectory + 4, static_cast<std::uint32_t>(certificate.size()));

    // The updater must see the certificate table where it was put.
    const std::optional<PeLayout> signedLayout = ReadPeLayout(image->data(), kHeaderProbeBytes);
    if (!signedLayout || signedLayout->certificateOffset != signedUpdater.certificateOffset ||
        signedLayout->imageEnd != layout->imageEnd) {
        return std::nullopt;
    }
    if (!WriteFileBytes(path, *image)) return std::nullopt;
    return signedUpdater;
}

}  // namespace corvantile::blackbox
