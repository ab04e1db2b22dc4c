// Writes the fuzzer's seeds into a directory: packed updaters that the packing tool builds from a small stub,
// plain and signed, so that the fuzzer starts from the bytes the updater really reads, and damaged ones that
// the tests' package builder puts behind the same stub.
#include "tests/package/SyntheticPe.h"
#include "tests/support/PackageBytes.h"
#include "tests/tools/CompoundFiles.h"
#include "tools/PackTool.h"

#include <cstdint>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace corvantile::testing;

// A real patch package, as the packing tool accepts only those: its own patch code, one target product and
// `paddingBytes` more bytes that differ between seeds.
fs::path WritePatch(const fs::path& directory, const char8_t* name, std::size_t paddingBytes, std::uint8_t seed) {
    InstallerFile patch;
    patch.targets = "{6F1B2C3D-0000-4000-8000-00000000000A}";
    patch.revisionNumber = "{6F1B2C3D-0000-4000-8000-0000000000" + std::to_string(10 + seed) + "}";
    patch.paddingBytes = paddingBytes;
    WriteAll(directory / name, InstallerFileBytes(patch));
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
    const Bytes stub = SyntheticPe().File();
    WriteAll(work / "stub.exe", stub);

    const std::vector<std::pair<const char*, std::vector<fs::path>>> seeds{
        {"one-file.exe", {WritePatch(work, u8"a.msp", 100, 1)}},
        {"two-files.exe", {WritePatch(work, u8"a.msp", 20, 2), WritePatch(work, u8"b.msp", 12, 3)}},
        {"unicode-names.exe",
         {WritePatch(work, u8"\u00E4-update.msp", 8, 4), WritePatch(work, u8"\u03C3\u03C5.msp", 300, 5),
          WritePatch(work, u8"\U0001F600.msp", 700, 6)}},
    };
    for (const auto& [name, patches] : seeds) {
        std::vector<std::u16string> args{
            u"build",     u"--stub",   (work / "stub.exe").u16string(), u"--name", u"Example Server 10", u"--version",
            u"2.0.0.100", u"--output", (corpus / name).u16string()};
        for (const fs::path& patch : patches) args.push_back(patch.u16string());
        std::ostringstream out;
        if (corvantile::pack::RunPackTool(args, out, std::cerr) != 0) return 1;
    }

    // What a signer does: zeros up to the next multiple of 8, the certificate table, and the security directory
    // pointing at it.
    const std::optional<SignedUpdater> signedFile =
        SignLooking(ReadAll(corpus / "two-files.exe"), CertificateTable(0x48));
    if (!signedFile) return 1;
    WriteAll(corpus / "two-files-signed.exe", signedFile->file);

    // A package whose last two bytes ask for short reads (259 bytes) and writes that fail after 5 KiB, which
    // the fuzzer seldom finds by itself.
    Bytes shortReads = ReadAll(corpus / "one-file.exe");
    shortReads[shortReads.size() - 2] = 5;
    shortReads[shortReads.size() - 1] = 2;
    WriteAll(corpus / "short-reads.exe", shortReads);

    // Damage at each part of a package: a name that fills its record without a NUL, a table cut short, a count
    // no table backs, odd header lengths, names the updater refuses, data cut short.
    const std::vector<UpdateFile> files{{L"a.msp", PatchLikeData(120, 7)}, {L"b.msp", PatchLikeData(40, 8)}};
    corvantile::UpdateTableEntry unterminated = corvantile::MakeEntry(u"", 40);
    unterminated.fileName.fill(u'x');
    Bytes hugeCount = BuildPackage(files);
    corvantile::WriteLe32(hugeCount.data() + EntryOffset(0) - corvantile::kEntryCountBytes, 0xFFFFFFFFu);
    const std::vector<std::pair<const char*, Bytes>> damaged{
        {"unterminated-name.exe",
         Concat({HeaderBytes(), Prefix(TableBytes(files), EntryOffset(1) - HeaderBytes().size()),
                 RecordBytes(unterminated), DataBytes(files)})},
        {"table-cut-short.exe", Prefix(BuildPackage(files), EntryOffset(1) + 100)},
        {"huge-count.exe", hugeCount},
        {"odd-header-lengths.exe",
         Concat({RawHeaderText(35, 0x41), RawHeaderText(255, 0x41), TableBytes(files), DataBytes(files)})},
        {"refused-names.exe",
         BuildPackage({{L"..\\a.msp", {1}}, {L"COM\u00B9.msp", {2}}, {L"\u00E4", {}}, {L"\u00C4", {}}})},
        {"data-cut-short.exe", Prefix(BuildPackage(files), EntryOffset(2) + 130)},
    };
    for (const auto& [name, package] : damaged) WriteAll(corpus / name, Concat({stub, package}));

    fs::remove_all(work);
    return 0;
}
