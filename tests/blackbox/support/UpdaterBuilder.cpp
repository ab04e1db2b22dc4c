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

// The directory that holds the running test program, without a trailing backslash.
std::wstring OwnDirectory() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.rfind(L'\\'));
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

std::wstring BuiltUpdaterPath() {
    return JoinPath(OwnDirectory(), L"CorvantileUpdater.exe");
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
