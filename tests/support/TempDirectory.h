// A fresh directory for one test, removed with everything in it when its owner ends.
#pragma once

#include <string>

namespace corvantile::testing {

class TempDirectory {
public:
    enum class Parent {
        WorkingDirectory,  // relative paths reach it: name() is one
        UserTemp,          // the user's temporary directory
    };

    // Creates the directory; throws when it cannot.
    explicit TempDirectory(Parent parent = Parent::WorkingDirectory);
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;
    ~TempDirectory();

    // Absolute (with a drive letter), without a trailing backslash.
    [[nodiscard]] const std::wstring& path() const noexcept { return path_; }
    // The last part of path().
    [[nodiscard]] const std::wstring& name() const noexcept { return name_; }
    // path() + "\" + relative.
    [[nodiscard]] std::wstring operator/(const std::wstring& relative) const;

private:
    std::wstring name_;
    std::wstring path_;
};

}  // namespace corvantile::testing
