// A fresh directory under the user's temporary directory, removed with its contents when the owner ends.
#pragma once

#include <string>

namespace corvantile::blackbox {

class TempDirectory {
public:
    // Creates the directory; path() is empty when that failed.
    TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;
    ~TempDirectory();

    // Absolute, without a trailing backslash.
    [[nodiscard]] const std::wstring& path() const noexcept { return path_; }
    // path() + "\" + relative.
    [[nodiscard]] std::wstring operator/(const std::wstring& relative) const;

private:
    std::wstring path_;
};

}  // namespace corvantile::blackbox
