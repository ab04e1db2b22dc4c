#include "tools/FileAccess.h"

#include "tools/TextEncoding.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

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

NewFile::~NewFile() { (void)Close(); }

#ifdef _WIN32

bool NewFile::Create(const std::filesystem::path& path, std::string& reason) {
    (void)Close();
    const errno_t result =
        _wsopen_s(&descriptor_, path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, _SH_DENYWR,
                  _S_IREAD | _S_IWRITE);
    if (result == 0) return true;
    descriptor_ = -1;
    reason = result == EEXIST ? "exists already; extract does not overwrite files" : std::strerror(result);
    return false;
}

bool NewFile::Write(const void* bytes, std::size_t byteCount) {
    const auto* next = static_cast<const char*>(bytes);
    while (byteCount > 0) {
        const unsigned int chunk = static_cast<unsigned int>(std::min<std::size_t>(byteCount, 1u << 30));
        const int written = _write(descriptor_, next, chunk);
        if (written <= 0) return false;
        next += written;
        byteCount -= static_cast<std::size_t>(written);
    }
    return true;
}

bool NewFile::Close() {
    if (descriptor_ < 0) return true;
    const bool closed = _close(descriptor_) == 0;
    descriptor_ = -1;
    return closed;
}

#else

bool NewFile::Create(const std::filesystem::path& path, std::string& reason) {
    (void)Close();
    descriptor_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (descriptor_ >= 0) return true;
    reason = errno == EEXIST ? "exists already; extract does not overwrite files" : std::strerror(errno);
    return false;
}

bool NewFile::Write(const void* bytes, std::size_t byteCount) {
    const auto* next = static_cast<const char*>(bytes);
    while (byteCount > 0) {
        const ssize_t written = ::write(descriptor_, next, byteCount);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        next += written;
        byteCount -= static_cast<std::size_t>(written);
    }
    return true;
}

bool NewFile::Close() {
    if (descriptor_ < 0) return true;
    // The descriptor is gone even when close reports an error, so it is never retried.
    const bool closed = ::close(descriptor_) == 0;
    descriptor_ = -1;
    return closed;
}

#endif

std::optional<PeLayout> ReadFileLayout(std::istream& file, std::uint64_t fileBytes) {
    std::vector<std::uint8_t> headers(static_cast<std::size_t>(std::min<std::uint64_t>(fileBytes, kHeaderReadBytes)));
    if (!file.seekg(0) || !ReadExactly(file, headers.data(), headers.size())) return std::nullopt;
    return ReadPeLayout(headers.data(), headers.size());
}

}  // namespace corvantile::pack
