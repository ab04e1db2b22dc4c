// Writes the fuzzer's seeds into a directory: packed updaters that the packing tool builds from a small stub,
// plain and signed, so that the fuzzer starts from the bytes the updater really reads.
#include "tests/package/SyntheticPe.h"
#include "tests/tools/CompoundFiles.h"
#include "tools/PackTool.h"

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

void WriteAll(const fs::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

Bytes ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A real patch package, as the packing tool accepts only those: its own patch code, one target product and
// `paddingBytes` more bytes that differ between seeds.
fs::path WritePatch(const fs::path& directory, const char8_t* name, std::size_t paddingBytes, std::uint8_t seed) {
    corvantile::testing::InstallerFile patch;
    patch.targets = "{6F1B2C3D-0000-4000-8000-00000000000A}";
    patch.revisionNumber = "{6F1B2C3D-0000-4000-8000-0000000000" + std::to_string(10 + seed) + "}";
    patch.paddingBytes = paddingBytes;
    WriteAll(directory / name, corvantile::testing::InstallerFileBytes(patch));
    return directory / name;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: MakeFuzzSeeds CORPUS_DIRECTORY\n";
        return 2;
    }
    const fs::path corpus = argv[1];
    const fs::path work = corpus / ".seed-inputs";
    fs::create_directories(work);
    WriteAll(work / "stub.exe", corvantile::testing::SyntheticPe().File());

    struct Seed {
        const char* name;
        std::vector<fs::path> patches;
    };
    const std::vector<Seed> seeds{
        {"one-file.exe", {WritePatch(work, u8"a.msp", 100, 1)}},
        {"two-files.exe", {WritePatch(work, u8"a.msp", 20, 2), WritePatch(work, u8"b.msp", 12, 3)}},
        {"unicode-names.exe",
         {WritePatch(work, u8"\u00E4-update.msp", 8, 4), WritePatch(work, u8"\u03C3\u03C5.msp", 300, 5),
          WritePatch(work, u8"\U0001F600.msp", 700, 6)}},
    };
    for (const Seed& seed : seeds) {
        std::vector<std::u16string> args{u"build", u"--stub", (work / "stub.exe").u16string(), u"--name",
                                         u"Example Server 10", u"--version", u"2.0.0.100", u"--output",
                                         (corpus / seed.name).u16string()};
        for (const fs::path& patch : seed.patches) args.push_back(patch.u16string());
        std::ostringstream out;
        if (corvantile::pack::RunPackTool(args, out, std::cerr) != 0) return 1;
    }

    // What a signer does: zeros up to the next multiple of 8, the certificate table, and the security directory
    // pointing at it.
    Bytes signedFile = ReadAll(corpus / "two-files.exe");
    const std::uint32_t certificateOffset = static_cast<std::uint32_t>((signedFile.size() + 7) / 8 * 8);
    signedFile.resize(certificateOffset, 0);
    signedFile.resize(certificateOffset + 0x48, 0xCE);
    const std::size_t directory = corvantile::testing::SyntheticPe().SecurityDirectoryOffset();
    corvantile::testing::SyntheticPe::Put32(signedFile, directory, certificateOffset);
    corvantile::testing::SyntheticPe::Put32(signedFile, directory + 4, 0x48);
    WriteAll(corpus / "two-files-signed.exe", signedFile);

    // Two the fuzzer seldom finds by itself: a name that fills its record without a NUL, and a package
    // whose last two bytes ask for short reads (259 bytes) and writes that fail after 5 KiB.
    Bytes unterminated = ReadAll(corpus / "two-files.exe");
    const std::size_t secondName = 0x400 + 58 + 528;
    for (std::size_t i = 0; i < 520; i += 2) unterminated[secondName + i] = 'x';
    WriteAll(corpus / "unterminated-name.exe", unterminated);
    Bytes shortReads = ReadAll(corpus / "one-file.exe");
    shortReads[shortReads.size() - 2] = 5;
    shortReads[shortReads.size() - 1] = 2;
    WriteAll(corpus / "short-reads.exe", shortReads);

    fs::remove_all(work);
    return 0;
}
