#include "tools/FileAccess.h"

#include "tools/TextEncoding.h"

#include <algorithm>
#include <system_error>
#include <vector>

namespace corvantile::pack {

namespace {

constexpr std::size_t kCopyBufferBytes = std::size_t{1} << 20;
// The section table lies within the first SizeOfHeaders bytes, in practice one or two KiB.
constexpr std::size_t kHeaderReadBytes = std::size_t{64} << 10;

}  // namespace

bool OpenForReading(const std::filesystem::path& path, std::ifstream& file, std::uint64_t& fileBytes,
                    std::string& error) {
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(path, ec);
    if (!ec && !std::filesystem::is_regular_file(status)) {
        error = DisplayPath(path) + ": not a regular file";
        return false;
    }
    if (!ec) fileBytes = std::filesystem::file_size(path, ec);
    if (ec) {
        error = DisplayPath(path) + ": " + ec.message();
        return false;
    }
    file.open(path, std::ios::binary);
    if (!file) {
        error = DisplayPath(path) + ": cannot be opened for reading";
        return false;
    }
    return true;
}

bool ReadExactly(std::istream& in, void* buffer, std::size_t bytes) {
    in.read(static_cast<char*>(buffer), static_cast<std::streamsize>(bytes));
    return in.gcount() == static_cast<std::streamsize>(bytes);
}

CopyResult CopyBytes(std::istream& from, std::ostream& to, std::uint64_t bytes) {
    std::vector<char> buffer(kCopyBufferBytes);
    while (bytes > 0) {
        const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, buffer.size()));
        if (!ReadExactly(from, buffer.data(), chunk)) return CopyResult::ReadFailed;
        if (!to.write(buffer.data(), static_cast<std::streamsize>(chunk))) return CopyResult::WriteFailed;
        bytes -= chunk;
    }
    return CopyResult::Copied;
}

std::optional<PeLayout> ReadFileLayout(std::istream& file, std::uint64_t fileBytes) {
    std::vector<std::uint8_t> headers(static_cast<std::size_t>(std::min<std::uint64_t>(fileBytes, kHeaderReadBytes)));
    if (!file.seekg(0) || !ReadExactly(file, headers.data(), headers.size())) return std::nullopt;
    return ReadPeLayout(headers.data(), headers.size());
}

}  // namespace corvantile::pack
