// File access shared by the commands: binary streams over std::filesystem paths, with 64-bit sizes.
#pragma once

#include "package/PackageLayout.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <istream>
#include <optional>
#include <ostream>
#include <string>

namespace corvantile::pack {

// Opens a regular file for binary reading and tells its size. On failure `error` reads "<path>: <why>".
[[nodiscard]] bool OpenForReading(const std::filesystem::path& path, std::ifstream& file, std::uint64_t& fileBytes,
                                  std::string& error);

// Reads exactly `bytes` bytes at the read position; false when the file ends first or the read fails.
[[nodiscard]] bool ReadExactly(std::istream& in, void* buffer, std::size_t bytes);

enum class CopyResult { Copied, ReadFailed, WriteFailed };

// Copies `bytes` bytes from the read position through a buffer of fixed size, so memory stays the same
// whatever the size of the file.
[[nodiscard]] CopyResult CopyBytes(std::istream& from, std::ostream& to, std::uint64_t bytes);

// A file that this tool created, open for writing; never a file that existed before. Closed when it goes.
class NewFile {
public:
    NewFile() = default;
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;
    ~NewFile();

    // Creates the file exclusively: fails when anything of that name exists, even when it appeared a moment
    // ago. On failure `reason` says why.
    [[nodiscard]] bool Create(const std::filesystem::path& path, std::string& reason);
    [[nodiscard]] bool Write(const void* bytes, std::size_t byteCount);
    // False when the file could not be closed cleanly, so its last writes may be lost.
    [[nodiscard]] bool Close();

private:
    int descriptor_ = -1;
};

// What the headers at the start of the file say; empty when the file is no PE image.
[[nodiscard]] std::optional<PeLayout> ReadFileLayout(std::istream& file, std::uint64_t fileBytes);

}  // namespace corvantile::pack
