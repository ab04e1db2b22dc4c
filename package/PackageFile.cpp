#include "package/PackageFile.h"

#include <algorithm>

namespace corvantile {

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

std::uint32_t ImageEnd() { return RunningImageLayout().imageEnd; }

bool PackageFile::Open(const std::wstring& path, const PeLayout& layout) {
    file_.reset(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file_) return false;
    LARGE_INTEGER fileBytes{};
    if (!::GetFileSizeEx(file_.get(), &fileBytes)) {
        file_.reset();
        return false;
    }
    layout_ = layout;
    fileBytes_ = static_cast<std::uint64_t>(fileBytes.QuadPart);
    packageEnd_ = PackageEnd(layout, fileBytes_);
    position_ = 0;
    return true;
}

bool PackageFile::HasPackage() const { return file_.valid() && corvantile::HasPackage(layout_, fileBytes_); }

HeaderOutcome PackageFile::ReadPackageHeader(std::wstring& productName, std::wstring& productVersion) {
    LARGE_INTEGER start{};
    start.QuadPart = static_cast<LONGLONG>(layout_.imageEnd);
    // A failed seek shows up as a failed or wrong read.
    position_ = ::SetFilePointerEx(file_.get(), start, nullptr, FILE_BEGIN) ? layout_.imageEnd : packageEnd_;
    PackageHeader header;
    const HeaderOutcome outcome = corvantile::ReadPackageHeader(*this, header);
    // wchar_t holds UTF-16 code units on Windows.
    productName.assign(header.productName.begin(), header.productName.end());
    productVersion.assign(header.productVersion.begin(), header.productVersion.end());
    return outcome;
}

bool PackageFile::Read(void* buffer, std::uint32_t bytes, std::uint32_t& delivered) {
    delivered = 0;
    const DWORD allowed = static_cast<DWORD>(std::min<std::uint64_t>(bytes, Remaining()));
    if (allowed == 0) return file_.valid();
    DWORD read = 0;
    if (!::ReadFile(file_.get(), buffer, allowed, &read, nullptr)) return false;
    delivered = read;
    position_ += read;
    return true;
}

std::uint64_t PackageFile::Remaining() const { return packageEnd_ > position_ ? packageEnd_ - position_ : 0; }

}  // namespace corvantile
