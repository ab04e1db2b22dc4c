// The facts that make-fixtures.py writes into fixtures.txt (codes, paths, contents), read from the directory
// that CORVANTILE_FIXTURES names, for the tests that run real products and patches.
#pragma once

#include "tests/support/Files.h"

#include <windows.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>

namespace corvantile::fixtures {

inline std::wstring Widen(const std::string& utf8) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), length);
    return wide;
}

// Every value is written with C escapes.
inline std::string Unescape(const std::string& value) {
    std::string text;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            text += value[i];
            continue;
        }
        const char next = value[++i];
        text += next == 'r' ? '\r' : next == 'n' ? '\n' : next == 't' ? '\t' : next;
    }
    return text;
}

class Fixtures {
public:
    static const Fixtures& Get() {
        static const Fixtures fixtures;
        return fixtures;
    }
    // The fixture directory as Windows programs reach it.
    [[nodiscard]] const std::wstring& directory() const { return directory_; }
    [[nodiscard]] std::wstring operator[](const std::string& key) const { return Widen(Text(key)); }
    [[nodiscard]] std::string Text(const std::string& key) const {
        const auto fact = facts_.find(key);
        if (fact == facts_.end()) throw std::runtime_error("no fixture fact " + key);
        return fact->second;
    }

private:
    Fixtures() {
        const char* root = std::getenv("CORVANTILE_FIXTURES");
        if (root == nullptr) throw std::runtime_error("CORVANTILE_FIXTURES is not set");
        std::wstring directory = Widen(root);
        // A Unix path reaches Wine's programs through drive Z:.
        if (!directory.empty() && directory[0] == L'/') directory = L"Z:" + directory;
        for (wchar_t& unit : directory) unit = unit == L'/' ? L'\\' : unit;
        directory_ = directory;
        const std::optional<testing::Bytes> bytes = testing::ReadFileBytes(directory_ + L"\\fixtures.txt");
        if (!bytes) throw std::runtime_error("cannot read fixtures.txt");
        std::istringstream file(std::string(bytes->begin(), bytes->end()));
        for (std::string line; std::getline(file, line);) {
            const std::size_t equals = line.find('=');
            if (equals != std::string::npos) facts_[line.substr(0, equals)] = Unescape(line.substr(equals + 1));
        }
    }
    std::wstring directory_;
    std::map<std::string, std::string> facts_;
};

}  // namespace corvantile::fixtures
