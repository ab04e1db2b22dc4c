// make-test-package: the package builder of the C++ tests for the Python scripts and the benchmarks (through
// tests/support/test_packages.py), so that they write no package layout of their own. Built for the machine
// that runs the scripts, where stdin and stdout carry bytes unchanged.
#include "tests/support/PackageBytes.h"

#include <charconv>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace corvantile::testing;
using corvantile::ReadLe32;

constexpr char kUsage[] =
    "usage: make-test-package package [--name TEXT] [--version TEXT] [--file NAME BYTES]...\n"
    "         writes a package to stdout; the files' data, in table order, are read from stdin\n"
    "       make-test-package security-directory [OFFSET SIZE]\n"
    "         reads a PE image from stdin and prints its security directory as \"OFFSET SIZE\", or writes\n"
    "         the image with the directory set to OFFSET, SIZE\n"
    "TEXT and NAME are printable ASCII; \\uXXXX stands for any UTF-16 code unit, a lone surrogate too.\n";

// Printable ASCII with \uXXXX escapes, as wide text whose code units are those of the UTF-16 text.
std::optional<std::wstring> ParseText(const std::string& text) {
    std::wstring units;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x20 || c > 0x7E) return std::nullopt;
        if (c != '\\') {
            units += static_cast<wchar_t>(c);
            continue;
        }
        if (text.compare(i, 2, "\\u") != 0 || i + 6 > text.size()) return std::nullopt;
        const std::string hex = text.substr(i + 2, 4);
        if (hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return std::nullopt;
        units += static_cast<wchar_t>(std::stoul(hex, nullptr, 16));
        i += 5;
    }
    return units;
}

// Up to 10 decimal digits, without a sign.
std::optional<std::uint32_t> ParseNumber(const std::string& text) {
    std::uint32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.size() > 10 || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

int Fail(const std::string& message) {
    std::cerr << "make-test-package: " << message << "\n" << kUsage;
    return 2;
}

int Write(const Bytes& bytes) {
    std::cout.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    std::cout.flush();
    return std::cout ? 0 : 1;
}

int Package(const std::vector<std::string>& args, const Bytes& input) {
    std::wstring name = kProductName;
    std::wstring version = kProductVersion;
    std::vector<UpdateFile> files;
    std::size_t used = 0;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const bool isFile = args[i] == "--file";
        if ((args[i] != "--name" && args[i] != "--version" && !isFile) || i + (isFile ? 2 : 1) >= args.size()) {
            return Fail("unexpected argument " + args[i]);
        }
        const std::optional<std::wstring> text = ParseText(args[++i]);
        if (!text) return Fail("not printable ASCII with \\uXXXX escapes: " + args[i]);
        if (!isFile) {
            (args[i - 1] == "--name" ? name : version) = *text;
            continue;
        }
        const std::optional<std::uint32_t> bytes = ParseNumber(args[++i]);
        if (!bytes || *bytes > input.size() - used) return Fail("no " + args[i] + " bytes of data left on stdin");
        files.push_back({*text, Bytes(input.begin() + used, input.begin() + used + *bytes)});
        used += *bytes;
    }
    if (used != input.size()) return Fail(std::to_string(input.size() - used) + " bytes on stdin belong to no file");
    return Write(BuildPackage(files, name, version));
}

int SecurityDirectory(const std::vector<std::string>& args, Bytes image) {
    const std::optional<std::size_t> directory = SecurityDirectoryOffset(image);
    if (!directory) return Fail("stdin holds no PE image with a security directory");
    if (args.size() == 1) {
        std::cout << ReadLe32(image.data() + *directory) << ' ' << ReadLe32(image.data() + *directory + 4) << '\n';
        return std::cout ? 0 : 1;
    }
    const std::optional<std::uint32_t> offset = args.size() == 3 ? ParseNumber(args[1]) : std::nullopt;
    const std::optional<std::uint32_t> size = args.size() == 3 ? ParseNumber(args[2]) : std::nullopt;
    if (!offset || !size) return Fail("security-directory takes no arguments, or OFFSET and SIZE");
    (void)SetSecurityDirectory(image, *offset, *size);
    return Write(image);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || (args[0] != "package" && args[0] != "security-directory")) return Fail("no command");
    const Bytes input{std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>()};
    return args[0] == "package" ? Package(args, input) : SecurityDirectory(args, input);
}
