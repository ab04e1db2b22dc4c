// Scratch directories, crafted updaters and the log, for the Windows tests of the update package.
#pragma once

#include "package/PackageFile.h"
#include "package/PackageLayout.h"

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

namespace corvantile::testing {

using Bytes = std::vector<std::uint8_t>;

[[nodiscard]] std::wstring FullPath(const std::wstring& path);
[[nodiscard]] bool PathExists(const std::wstring& path);
[[nodiscard]] bool IsDirectory(const std::wstring& path);
[[nodiscard]] bool IsPlainFile(const std::wstring& path);
void WriteFileBytes(const std::wstring& path, const Bytes& bytes);
[[nodiscard]] Bytes ReadFileBytes(const std::wstring& path);
// True when nobody else holds the file open: an exclusive open succeeds.
[[nodiscard]] bool CanOpenExclusively(const std::wstring& path);
// Deletes a file or a whole tree, read-only files included. Silent.
void RemoveTree(const std::wstring& path);
// Every file and directory below `root`, as paths relative to it ("sub\\file").
[[nodiscard]] std::set<std::wstring> ListTree(const std::wstring& root);
// Bytes that differ from position to position and from seed to seed, so that a misplaced block shows.
[[nodiscard]] Bytes PatternBytes(std::size_t count, std::uint8_t seed);

// A fresh directory below the test's working directory, removed with everything in it at the end.
class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    // Full path (with a drive letter), without a trailing backslash.
    [[nodiscard]] const std::wstring& path() const { return path_; }
    // The same directory relative to the working directory.
    [[nodiscard]] const std::wstring& relativePath() const { return relativePath_; }
    [[nodiscard]] std::wstring operator/(const std::wstring& name) const { return path_ + L'\\' + name; }

private:
    std::wstring relativePath_;
    std::wstring path_;
};

struct UpdateFileSpec {
    std::u16string name;
    Bytes data;
};

// A complete package: header texts, entryCount, one record per file, then every file's data.
[[nodiscard]] Bytes BuildPackage(const std::vector<UpdateFileSpec>& files);
// Where record `index` begins in a package built by BuildPackage.
[[nodiscard]] std::size_t EntryOffset(std::size_t index);
// Where the file data begins in a package of `entryCount` records built by BuildPackage.
[[nodiscard]] std::size_t DataOffset(std::size_t entryCount);

// Any file serves as an updater when its image end is given: filler bytes, the package, and for a signed
// updater a certificate table behind it.
class CraftedUpdater {
public:
    static constexpr std::uint32_t kImageBytes = 1024;

    // Writes the updater into `directory`, opens it and reads the package header.
    CraftedUpdater(const std::wstring& directory, const Bytes& package, const Bytes& certificate = {});

    [[nodiscard]] bool headerRead() const { return headerRead_; }
    [[nodiscard]] PackageFile& package() { return package_; }

private:
    PackageFile package_;
    bool headerRead_ = false;
};

// The lines that the program logs from now on, without their timestamps. The log is opened once per test
// process, in a directory of its own below the temporary directory.
class LogCapture {
public:
    LogCapture();
    [[nodiscard]] std::vector<std::wstring> Lines() const;

private:
    std::uint64_t startBytes_ = 0;
};

}  // namespace corvantile::testing
