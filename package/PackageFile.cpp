#include "package/PackageFile.h"

#include <algorithm>

namespace corvantile {

namespace {

// A read that succeeds and delivers exactly what it asked for.
bool ReadExactly(PackageFile& package, void* buffer, DWORD bytes) {
    DWORD delivered = 0;
    return package.Read(buffer, bytes, delivered) && delivered == bytes;
}

// One length byte, then that many bytes of UTF-16LE text.
bool ReadHeaderText(PackageFile& package, std::wstring& text) {
    std::uint8_t byteCount = 0;
    std::uint8_t bytes[kMaxHeaderTextBytes + 1];
    if (!ReadExactly(package, &byteCount, 1) || !ReadExactly(package, bytes, byteCount)) return false;
    const std::u16string decoded = DecodeHeaderText(bytes, byteCount);
    text.assign(decoded.begin(), decoded.end());
    return true;
}

}  // namespace

const PeLayout& RunningImageLayout() {
    static const PeLayout layout = [] {
        const auto* base = reinterpret_cast<const std::uint8_t*>(::GetModuleHandleW(nullptr));
        // The headers of the running image are mapped as they are in its file.
        MEMORY_BASIC_INFORMATION region{};
        ::VirtualQuery(base, &region, sizeof region);
        const std::size_t mappedBytes =
            region.RegionSize - static_cast<std::size_t>(base - static_cast<const std::uint8_t*>(region.BaseAddress));
        return ReadPeLayout(base, mappedBytes).value_or(PeLayout{});
    }();
    return layout;
}

std::uint32_t ImageEnd() {
    return RunningImageLayout().imageEnd;
}

bool PackageFile::Open(const std::wstring& path, const PeLayout& layout) {
    file_.reset(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_) return false;
    LARGE_INTEGER fileBytes{};
    if (!::GetFileSizeEx(file_.get(), &fileBytes)) {
        file_.reset();
        return false;
    }
    imageEnd_ = layout.imageEnd;
    packageEnd_ = PackageEnd(layout, static_cast<std::uint64_t>(fileBytes.QuadPart));
    position_ = 0;
    return true;
}

bool PackageFile::HasPackage() const {
    return file_.valid() && imageEnd_ != 0 && packageEnd_ > imageEnd_;
}

HeaderOutcome PackageFile::ReadPackageHeader(std::wstring& productName, std::wstring& productVersion) {
    LARGE_INTEGER start{};
    start.QuadPart = static_cast<LONGLONG>(imageEnd_);
    // A failed seek shows up as a failed or wrong read.
    position_ = ::SetFilePointerEx(file_.get(), start, nullptr, FILE_BEGIN) ? imageEnd_ : packageEnd_;
    if (!ReadHeaderText(*this, productName)) return HeaderOutcome::ProductNameNotReadable;
    if (!ReadHeaderText(*this, productVersion)) return HeaderOutcome::VersionNotReadable;
    return HeaderOutcome::Read;
}

bool PackageFile::Read(void* buffer, DWORD bytes, DWORD& delivered) {
    delivered = 0;
    const std::uint64_t remaining = packageEnd_ > position_ ? packageEnd_ - position_ : 0;
    const DWORD allowed = static_cast<DWORD>(std::min<std::uint64_t>(bytes, remaining));
    if (allowed == 0) return file_.valid();
    if (!::ReadFile(file_.get(), buffer, allowed, &delivered, nullptr)) return false;
    position_ += delivered;
    return true;
}

}  // namespace corvantile
