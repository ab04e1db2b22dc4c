// The facts that make-fixtures.py writes into fixtures.json (codes, paths, contents), read from the directory
// that CORVANTILE_FIXTURES names, for the tests that run real products and patches.
#pragma once

#include "tests/support/Files.h"
#include "tests/support/Json.h"

#include <windows.h>

#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace corvantile::fixtures {

inline std::wstring Widen(const std::string& utf8) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), length);
    return wide;
}

class Fixtures {
public:
    static const Fixtures& Get() {
        static const Fixtures fixtures;
        return fixtures;
    }
    // The fixture directory as Windows programs reach it.
    [[nodiscard]] const std::wstring& directory() const { return directory_; }
    // A text fact by its keys, each after a slash: "/products/x64/file_path", "/patches/PatchX64.msp/code".
    [[nodiscard]] std::wstring operator[](std::string_view keys) const { return Widen(Text(keys)); }
    [[nodiscard]] std::string Text(std::string_view keys) const {
        const testing::Json* fact = &facts_;
        for (std::string_view rest = keys; fact != nullptr && !rest.empty();) {
            if (rest[0] != '/') return Missing(keys);
            const std::size_t end = rest.find('/', 1);
            const auto member = fact->object.find(std::string(rest.substr(1, end - 1)));
            fact = member == fact->object.end() ? nullptr : &member->second;
            rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
        }
        if (fact == nullptr || fact->kind != testing::Json::Kind::String) return Missing(keys);
        return fact->string;
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
        const std::optional<testing::Bytes> bytes = testing::ReadFileBytes(directory_ + L"\\fixtures.json");
        if (!bytes) throw std::runtime_error("cannot read fixtures.json");
        std::optional<testing::Json> facts = testing::JsonReader::Parse(std::string(bytes->begin(), bytes->end()));
        if (!facts || facts->kind != testing::Json::Kind::Object) {
            throw std::runtime_error("fixtures.json holds no JSON object");
        }
        facts_ = std::move(*facts);
    }
    [[noreturn]] static std::string Missing(std::string_view keys) {
        throw std::runtime_error("no fixture fact " + std::string(keys));
    }
    std::wstring directory_;
    testing::Json facts_;
};

}  // namespace corvantile::fixtures
