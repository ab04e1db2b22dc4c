// The facts that make-fixtures.py writes into fixtures.json (codes, paths, contents), read from the directory
// that CORVANTILE_FIXTURES names, for the tests that run real products and patches; and what those tests
// share: the lines, files and Installer logs that name a fixture product, and updaters packed from the
// fixture patches.
#pragma once

#include "tests/blackbox/support/ProcessDriver.h"
#include "tests/blackbox/support/UpdaterBuilder.h"
#include "tests/support/Files.h"
#include "tests/support/Json.h"
#include "tests/support/SystemTexts.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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
    // A file in the fixture directory (a patch, say), as Windows programs reach it.
    [[nodiscard]] std::wstring Path(const std::wstring& file) const { return directory_ + L"\\" + file; }
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

inline std::string Fact(const std::string& keys) { return Fixtures::Get().Text(keys); }
// What the fixtures say of a product ("x64", "x86"): its "name", "product_code", "file_path", ...
inline std::wstring ProductFact(const std::string& product, const std::string& key) {
    return Fixtures::Get()["/products/" + product + "/" + key];
}
// The text a fixture patch leaves in a product's installed file.
inline std::string PatchedText(const std::string& patch, const std::string& product) {
    return Fact("/patches/" + patch + "/contents/" + product);
}
// The installed file of a fixture product, as text.
inline std::string InstalledText(const std::string& product) {
    const std::optional<testing::Bytes> bytes = testing::ReadFileBytes(ProductFact(product, "file_path"));
    return bytes ? std::string(bytes->begin(), bytes->end()) : "<unreadable>";
}
// Both fixture products carry their own patch's text: PatchX64.msp and PatchX86.msp were applied.
inline void ExpectBothProductsPatched() {
    EXPECT_EQ(InstalledText("x64"), PatchedText("PatchX64.msp", "x64"));
    EXPECT_EQ(InstalledText("x86"), PatchedText("PatchX86.msp", "x86"));
}

// The log and status lines that name a fixture product.
inline std::wstring Installing(const std::wstring& file, const std::string& product) {
    return texts::Installing(file, ProductFact(product, "name"));
}
inline std::wstring OrderLine(const std::string& product) { return texts::OrderLine(ProductFact(product, "name")); }

// The Installer's own log of one patch, named by the patch and the product it was applied to.
inline std::wstring InstallerLogName(const std::wstring& file, const std::string& product) {
    return file + L" " + ProductFact(product, "product_code") + L".log";
}
// That log is in this directory and not empty.
inline ::testing::AssertionResult HasInstallerLog(const std::wstring& directory, const std::wstring& file,
                                                  const std::string& product) {
    const std::wstring name = InstallerLogName(file, product);
    const std::optional<testing::Bytes> log = testing::ReadFileBytes(testing::JoinPath(directory, name));
    if (log && !log->empty()) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << blackbox::Narrow(name) << " is missing or empty";
}

// Packs these fixture patches into an updater at this path with the real packing tool: the path, or empty
// when no updater was made.
inline std::wstring PackUpdater(const std::wstring& updater, const std::vector<std::wstring>& patches) {
    const std::wstring stub = blackbox::BuiltUpdaterPath();
    blackbox::LaunchRequest pack;
    pack.program = blackbox::BuiltProgramPath(L"corvantile-pack.exe");
    pack.arguments = {L"build",     L"--stub", stub,        L"--name", L"Corvantile Fixtures",
                      L"--version", L"1.0.1",  L"--output", updater};
    for (const std::wstring& patch : patches) pack.arguments.push_back(Fixtures::Get().Path(patch));
    const blackbox::ProcessRun packed = blackbox::RunAndProbe(pack);
    EXPECT_TRUE(packed.Finished() && packed.exitCode == 0) << packed.Describe();
    return testing::FileExists(updater) ? updater : std::wstring();
}

}  // namespace corvantile::fixtures
