#include "tools/PackTool.h"

#include "tests/package/SyntheticPe.h"
#include "tests/tools/TestJson.h"
#include "tools/PackedUpdater.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace corvantile::pack {
namespace {

namespace fs = std::filesystem;
using corvantile::testing::Json;
using corvantile::testing::JsonReader;
using corvantile::testing::SyntheticPe;
using Bytes = std::vector<std::uint8_t>;

// The default synthetic stub ends its image here; a package starts here, its data 1114 bytes later when
// it carries two files under the example name and version.
constexpr std::uint64_t kStubBytes = 0x400;
constexpr std::uint64_t kTwoFileDataOffset = kStubBytes + 1114;
constexpr std::uint64_t kFourGiB = std::uint64_t{1} << 32;

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

Bytes ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const fs::path& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

void Put32(Bytes& bytes, std::uint64_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// Writes a name into record `entry` of a package that starts right behind the default synthetic stub and
// carries the example name and version.
void Rename(Bytes& bytes, int entry, const std::u16string& name) {
    const std::uint64_t record = 0x400 + 58 + 528 * static_cast<std::uint64_t>(entry);
    for (std::size_t i = 0; i < 260; ++i) {
        const char16_t c = i < name.size() ? name[i] : u'\0';
        bytes[record + 2 * i] = static_cast<std::uint8_t>(c);
        bytes[record + 2 * i + 1] = static_cast<std::uint8_t>(c >> 8);
    }
}

std::string Utf8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

class PackToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        root_ = fs::temp_directory_path() / (std::string("corvantile-pack-") + test->name() + "-" +
                                             std::to_string(std::random_device()()));
        fs::create_directories(root_ / "in");
        fs::create_directories(Out());
        stub_ = WriteStub(SyntheticPe());
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    fs::path In(const fs::path& name) const { return root_ / "in" / name; }
    fs::path Out() const { return root_ / "out"; }

    fs::path WriteStub(const SyntheticPe& pe, const char* name = "CorvantileUpdater.exe") const {
        WriteAll(In(name), pe.File());
        return In(name);
    }
    // A compound-file signature and then bytes that differ between seeds.
    fs::path WritePatch(const fs::path& name, std::size_t bytes, std::uint32_t seed) const {
        Bytes data{0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
        std::minstd_rand random(seed);
        while (data.size() < bytes) data.push_back(static_cast<std::uint8_t>(random()));
        data.resize(bytes);
        WriteAll(In(name), data);
        return In(name);
    }

    static RunResult Run(const std::vector<std::u16string>& args) {
        std::ostringstream out;
        std::ostringstream err;
        RunResult result;
        result.exitCode = RunPackTool(args, out, err);
        result.out = out.str();
        result.err = err.str();
        return result;
    }
    RunResult Build(const std::vector<fs::path>& inputs, const fs::path& output,
                    const std::u16string& name = u"Example Server 10", const std::u16string& version = u"2.0.0.100",
                    const fs::path& stub = {}) const {
        std::vector<std::u16string> args{u"build",   u"--stub",    (stub.empty() ? stub_ : stub).u16string(),
                                         u"--name",  name,         u"--version",
                                         version,    u"--output",  output.u16string()};
        for (const fs::path& input : inputs) args.push_back(input.u16string());
        return Run(args);
    }
    // A packed updater with two small files, a.msp (20 bytes) and b.msp (12 bytes).
    fs::path BuildSmallPackage() const {
        const RunResult built = Build({WritePatch("a.msp", 20, 1), WritePatch("b.msp", 12, 2)}, In("Update.exe"));
        EXPECT_EQ(built.exitCode, kExitSuccess) << built.err;
        return In("Update.exe");
    }
    std::set<fs::path> OutContents() const {
        std::set<fs::path> found;
        for (const auto& entry : fs::recursive_directory_iterator(Out())) found.insert(fs::relative(entry.path(), Out()));
        return found;
    }

    fs::path root_;
    fs::path stub_;
};

void ExpectOneErrorLine(const RunResult& result, int exitCode, const std::string& message) {
    EXPECT_EQ(result.exitCode, exitCode) << result.err;
    EXPECT_EQ(result.err.rfind("corvantile-pack: ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_EQ(result.out, "");
}

TEST_F(PackToolTest, BuildListExtractRoundTrip) {
    // Larger than the copy buffer, so that the copy takes several rounds.
    const std::size_t bigBytes = (std::size_t{3} << 20) + 5;
    const fs::path a = WritePatch("a.msp", bigBytes, 1);
    const fs::path b = WritePatch("b.msp", 100, 2);
    const fs::path packed = Out() / "Update.exe";
    const RunResult built = Build({a, b}, packed);
    ASSERT_EQ(built.exitCode, kExitSuccess) << built.err;
    EXPECT_EQ(built.err, "");

    const Bytes stub = ReadAll(stub_);
    const Bytes bytes = ReadAll(packed);
    ASSERT_EQ(bytes.size(), kTwoFileDataOffset + bigBytes + 100);
    EXPECT_TRUE(std::equal(stub.begin(), stub.end(), bytes.begin()));
    EXPECT_EQ(bytes[kStubBytes], 34);                      // nameLength
    EXPECT_EQ(bytes[kStubBytes + 1 + 34], 18);             // versionLength
    EXPECT_EQ(bytes[kStubBytes + 54], 2);                  // entryCount
    EXPECT_EQ(bytes[kStubBytes + 58 + 528], 'b');          // entry 1's name
    EXPECT_EQ(bytes[kStubBytes + 586 + 520], 100);         // entry 1's dataLength
    const Bytes b_bytes = ReadAll(b);
    EXPECT_TRUE(std::equal(b_bytes.begin(), b_bytes.end(), bytes.end() - 100));

    const RunResult listed = Run({u"list", packed.u16string()});
    ASSERT_EQ(listed.exitCode, kExitSuccess) << listed.err;
    const std::string expected = "Product name:    Example Server 10\nProduct version: 2.0.0.100\n"
                                 "Package offset:  1024\nUpdate files:    2\n"
                                 "  [0] a.msp: " + std::to_string(bigBytes) + " bytes at offset 2138\n"
                                 "  [1] b.msp: 100 bytes at offset " + std::to_string(2138 + bigBytes) + "\n"
                                 "Signature:       none\n";
    EXPECT_EQ(listed.out, expected);

    const fs::path directory = Out() / "x" / "y";  // its parents are missing too
    const RunResult extracted = Run({u"extract", packed.u16string(), directory.u16string()});
    ASSERT_EQ(extracted.exitCode, kExitSuccess) << extracted.err;
    EXPECT_EQ(ReadAll(directory / "a.msp"), ReadAll(a));
    EXPECT_EQ(ReadAll(directory / "b.msp"), b_bytes);
    EXPECT_EQ(std::distance(fs::directory_iterator(directory), fs::directory_iterator()), 2);
}

TEST_F(PackToolTest, ListJsonIsOneObjectWithEscapedUnicodeText) {
    const fs::path name = fs::path(u8"\u00DCbersicht-\u66F4\u65B0-\U0001F600.msp");
    const std::u16string productName = u"Say \"hi\" \\ \t S\u00FCd \U0001F600";
    // Two bytes a code unit more or less than in "Example Server 10" move the data.
    const std::uint64_t dataOffset = kTwoFileDataOffset + 2 * productName.size() - 34;
    const RunResult built =
        Build({WritePatch(name, 30, 1), WritePatch("b.msp", 12, 2)}, In("Update.exe"), productName, u"2.0.0.100");
    ASSERT_EQ(built.exitCode, kExitSuccess) << built.err;

    const RunResult listed = Run({u"list", u"--json", In("Update.exe").u16string()});
    ASSERT_EQ(listed.exitCode, kExitSuccess) << listed.err;
    EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'), 1);
    const std::optional<Json> json = JsonReader::Parse(listed.out);
    ASSERT_TRUE(json.has_value()) << listed.out;
    const Json& root = *json;
    EXPECT_EQ(root.object.size(), 5u);
    EXPECT_EQ(root["productName"].string, Utf8(u8"Say \"hi\" \\ \t S\u00FCd \U0001F600"));
    EXPECT_EQ(root["productVersion"].string, "2.0.0.100");
    EXPECT_EQ(root["packageOffset"].number, kStubBytes);
    ASSERT_EQ(root["entries"].array.size(), 2u);
    const Json& first = root["entries"][0];
    EXPECT_EQ(first.object.size(), 4u);
    EXPECT_EQ(first["index"].number, 0u);
    EXPECT_EQ(first["fileName"].string, Utf8(u8"\u00DCbersicht-\u66F4\u65B0-\U0001F600.msp"));
    EXPECT_EQ(first["size"].number, 30u);
    EXPECT_EQ(first["offset"].number, dataOffset);
    EXPECT_EQ(root["entries"][1]["index"].number, 1u);
    EXPECT_EQ(root["entries"][1]["offset"].number, dataOffset + 30);
    EXPECT_EQ(root["signature"].kind, Json::Kind::Null);

    const RunResult extracted = Run({u"extract", In("Update.exe").u16string(), Out().u16string()});
    ASSERT_EQ(extracted.exitCode, kExitSuccess) << extracted.err;
    EXPECT_EQ(ReadAll(Out() / name), ReadAll(In(name)));
}

TEST_F(PackToolTest, BuildKeepsTheLongestHeaderTextsAndReplacesAnExistingOutput) {
    const std::u16string name = std::u16string(125, u'N') + u"\U0001F600";  // a pair: 127 code units
    const std::u16string version(127, u'7');
    WriteAll(Out() / "Update.exe", Bytes(10, 'x'));
    ASSERT_EQ(Build({WritePatch("a.msp", 9, 1)}, Out() / "Update.exe", name, version).exitCode, kExitSuccess);
    EXPECT_EQ(OutContents(), std::set<fs::path>{"Update.exe"});

    const std::optional<Json> json = JsonReader::Parse(Run({u"list", u"--json", (Out() / "Update.exe").u16string()}).out);
    ASSERT_TRUE(json.has_value());
    EXPECT_EQ((*json)["productName"].string, std::string(125, 'N') + Utf8(u8"\U0001F600"));
    EXPECT_EQ((*json)["productVersion"].string, std::string(127, '7'));
}

TEST_F(PackToolTest, BuildRefusalsLeaveNoOutputAndNoTemporaryFile) {
    const fs::path a = WritePatch("a.msp", 64, 1);
    const fs::path output = Out() / "Update.exe";
    const auto build = [&](std::vector<fs::path> inputs) { return [=, this] { return Build(inputs, output); }; };
    const auto withStub = [&](const Bytes& stub) {
        return [=, this] {
            WriteAll(In("stub.exe"), stub);
            return Build({a}, output, u"Example Server 10", u"2.0.0.100", In("stub.exe"));
        };
    };
    SyntheticPe signedPe;
    signedPe.certificateOffset = 0x400;
    signedPe.certificateBytes = 0x10;
    Bytes longStub = SyntheticPe().File();
    longStub.push_back(0);
    Bytes shortStub = SyntheticPe().File();
    shortStub.pop_back();
    fs::create_directories(In("sub"));
    fs::create_directories(In("folder.msp"));
    WriteAll(In("text.msp"), Bytes(100, 'T'));

    const std::vector<std::pair<std::function<RunResult()>, std::string>> refusals{
        {[&] { return Build({a}, output, std::u16string(128, u'n')); }, "the product name is longer than 127"},
        {[&] { return Build({a}, output, u"Example", std::u16string(128, u'1')); }, "the product version is longer"},
        {build({a, WritePatch(fs::path("sub") / "A.MSP", 64, 2)}), "A.MSP: its name collides with"},
        {build({a, In("missing.msp")}), "missing.msp: "},
        {build({In("folder.msp")}), "folder.msp: not a regular file"},
        {build({WritePatch("short.msp", 7, 3)}), "short.msp: not a patch package (no compound-file signature)"},
        {build({In("text.msp")}), "text.msp: not a patch package"},
        {withStub(Bytes(0x400, 'M')), "stub.exe: not a PE image"},
        {withStub(longStub), "stub.exe: 1 bytes follow its last section"},
        {withStub(shortStub), "stub.exe: the file ends inside its last section"},
        {withStub(signedPe.File()), "stub.exe: already signed"},
        {[&] { return Build({a}, Out() / "missing" / "Update.exe"); }, "cannot be created"},
#ifndef _WIN32  // names that Windows will not even create
        {build({WritePatch("CON.msp", 64, 4)}), "CON.msp: cannot be named in the package: the name is a reserved"},
        {build({WritePatch("a.msp.", 64, 4)}), "cannot be named in the package: the name ends with a dot"},
        {build({WritePatch("a*b.msp", 64, 4)}), "cannot be named in the package: the name holds a character"},
        {build({WritePatch("a\\b.msp", 64, 4)}), "cannot be named in the package: the name holds a directory part"},
#endif
    };
    for (const auto& [run, message] : refusals) {
        SCOPED_TRACE(message);
        ExpectOneErrorLine(run(), kExitBadInput, message);
        EXPECT_EQ(OutContents(), std::set<fs::path>{});
    }

    // A packed updater is no stub: it already carries a package.
    ASSERT_EQ(Build({a}, In("Update.exe")).exitCode, kExitSuccess);
    ExpectOneErrorLine(Build({a}, output, u"N", u"1", In("Update.exe")), kExitBadInput, "bytes follow its last section");
    EXPECT_EQ(OutContents(), std::set<fs::path>{});
}

TEST_F(PackToolTest, FailureAfterWritingRemovesTheTemporaryFile) {
    // The rename at the end fails: the output is a directory that holds a file.
    fs::create_directories(Out() / "Update.exe");
    WriteAll(Out() / "Update.exe" / "keep", Bytes(3, 'k'));
    ExpectOneErrorLine(Build({WritePatch("a.msp", 64, 1)}, Out() / "Update.exe"), kExitBadInput, "cannot be replaced");
    EXPECT_EQ(OutContents(), (std::set<fs::path>{"Update.exe", fs::path("Update.exe") / "keep"}));
}

TEST_F(PackToolTest, InputsOf4GiBOrMoreAreRefusedBeforeAnythingIsCopied) {
    // Sparse files: only their size is ever looked at, so the test stays fast.
    const fs::path fourGiB = WritePatch("four.msp", 8, 1);
    const fs::path fiveGiB = WritePatch("five.msp", 8, 1);
    const fs::path justBelow = In("below.msp");
    WriteAll(justBelow, {});
    std::error_code ec;
    for (const auto& [file, bytes] : {std::pair{fourGiB, kFourGiB}, std::pair{fiveGiB, 5 * kFourGiB / 4},
                                      std::pair{justBelow, kFourGiB - 1}}) {
        if (!ec) fs::resize_file(file, bytes, ec);
    }
    if (ec) GTEST_SKIP() << "no sparse files here: " << ec.message();

    ExpectOneErrorLine(Build({fourGiB}, Out() / "Update.exe"), kExitBadInput, "four.msp: 4 GiB or larger");
    ExpectOneErrorLine(Build({fiveGiB}, Out() / "Update.exe"), kExitBadInput, "five.msp: 4 GiB or larger");
    // One byte less passes the size check and meets the next one.
    ExpectOneErrorLine(Build({justBelow}, Out() / "Update.exe"), kExitBadInput, "below.msp: not a patch package");
    EXPECT_EQ(OutContents(), std::set<fs::path>{});
}

TEST_F(PackToolTest, UsageErrorsAndHelp) {
    const std::u16string stub = stub_.u16string();
    const std::vector<std::vector<std::u16string>> usageErrors{
        {},
        {u"pack"},
        {u"build", u"--name", u"N", u"--version", u"1", u"--output", u"o.exe", u"a.msp"},
        {u"build", u"--stub", stub, u"--name", u"N", u"--version", u"1", u"--output", u"o.exe"},
        {u"build", u"--stub", stub, u"--stub", stub, u"--name", u"N", u"--version", u"1", u"--output", u"o.exe", u"a"},
        {u"build", u"a.msp", u"--stub"},
        {u"build", u"--compress", u"a.msp"},
        {u"list"},
        {u"list", u"a.exe", u"b.exe"},
        {u"list", u"--xml", u"a.exe"},
        {u"extract", u"a.exe"},
    };
    for (std::size_t i = 0; i < usageErrors.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        ExpectOneErrorLine(Run(usageErrors[i]), kExitUsage, "(see corvantile-pack --help)");
    }
    for (const std::vector<std::u16string>& args :
         std::vector<std::vector<std::u16string>>{{u"--help"}, {u"-h"}, {u"help"}, {u"list", u"--help"}}) {
        const RunResult help = Run(args);
        EXPECT_EQ(help.exitCode, kExitSuccess);
        EXPECT_EQ(help.out.rfind("Usage:\n  corvantile-pack build --stub", 0), 0u);
        EXPECT_EQ(help.err, "");
    }
    // After "--", a dash starts a file name rather than an option.
    ExpectOneErrorLine(Run({u"list", u"--", u"--json"}), kExitBadInput, "--json: ");
}

TEST_F(PackToolTest, ListAndExtractRefuseFilesWithoutAnIntactPackage) {
    const Bytes good = ReadAll(BuildSmallPackage());
    const std::uint64_t table = kStubBytes + 58;
    const auto changed = [&](const std::function<void(Bytes&)>& change) {
        Bytes bytes = good;
        change(bytes);
        return bytes;
    };
    const auto named = [&](int entry, const std::u16string& name) {
        return changed([=](Bytes& bytes) { Rename(bytes, entry, name); });
    };
    const auto namedBoth = [&](const std::u16string& first, const std::u16string& second) {
        return changed([=](Bytes& bytes) {
            Rename(bytes, 0, first);
            Rename(bytes, 1, second);
        });
    };
    // An image said to end at 0: what follows its headers would be read from the headers themselves.
    SyntheticPe zeroPe;
    zeroPe.sections = {{0, 0}};
    Bytes zeroImage = zeroPe.File();
    zeroImage.insert(zeroImage.end(), good.begin() + static_cast<std::ptrdiff_t>(kStubBytes), good.end());
    const std::vector<std::pair<Bytes, std::string>> damaged{
        {Bytes(2000, 'M'), "not a PE image"},
        {SyntheticPe().File(), "no update package behind the image"},
        {zeroImage, "no update package behind the image"},  // the updater finds none there either
        {changed([&](Bytes& b) { Put32(b, kStubBytes + 54, 0xFFFFFFFF); }), "table of 4294967295 entries does not fit"},
        {changed([&](Bytes& b) { Put32(b, kStubBytes + 54, 1); }), "damaged update package: 540 unexpected bytes"},
        {named(0, std::u16string(260, u'x')), "entry 0: the file name has no terminating NUL"},
        {named(1, u".."), "entry 1: \"..\": the name is . or .."},
        {named(1, u"sub\\b.msp"), "entry 1: \"sub\\\\b.msp\": the name holds a directory part"},
        {named(1, u"A.MSP"), "entry 1: \"A.MSP\" collides with the name of entry 0"},
        {namedBoth(u"\u00E4.msp", u"\u00C4.msp"), "entry 1: \"\u00C4.msp\" collides with the name of entry 0"},
        {namedBoth(u"\u03C3", u"\u03A3"), "entry 1: \"\u03A3\" collides with the name of entry 0"},
        {namedBoth(u"\xD800.msp", u"\xD801.msp"), "entry 0: \"\\ud800.msp\": the name is not valid UTF-16"},
        {named(1, u"COM\u00B9.msp"), "entry 1: \"COM\u00B9.msp\": the name is a reserved device name"},
        {named(1, u"LPT0.msp"), "entry 1: \"LPT0.msp\": the name is a reserved device name"},
        {named(1, u"CONOUT$"), "entry 1: \"CONOUT$\": the name is a reserved device name"},
        {named(1, std::u16string(256, u'n')), "the name is longer than 255 UTF-16 code units"},
        {changed([&](Bytes& b) { Put32(b, table + 528 + 520, 13); }), "the files' data is cut short by 1 bytes"},
        {changed([&](Bytes& b) { Put32(b, table + 528 + 520, 11); }), "1 unexpected bytes follow the last file's data"},
        {changed([&](Bytes& b) { b.push_back(0); }), "1 unexpected bytes follow"},  // zero padding needs a signature
    };
    for (const auto& [bytes, message] : damaged) {
        SCOPED_TRACE(message);
        WriteAll(In("damaged.exe"), bytes);
        ExpectOneErrorLine(Run({u"list", In("damaged.exe").u16string()}), kExitBadInput, message);
        ExpectOneErrorLine(Run({u"extract", In("damaged.exe").u16string(), (Out() / "x").u16string()}),
                           kExitBadInput, message);
        EXPECT_EQ(OutContents(), std::set<fs::path>{});
    }
    // Cut anywhere: inside the header, the table or the data.
    for (std::size_t size = kStubBytes + 1; size < good.size(); ++size) {
        WriteAll(In("cut.exe"), Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size)));
        const RunResult listed = Run({u"list", In("cut.exe").u16string()});
        ASSERT_EQ(listed.exitCode, kExitBadInput) << "cut to " << size << " bytes";
        ASSERT_NE(listed.err.find("damaged update package"), std::string::npos) << listed.err;
    }
}

TEST_F(PackToolTest, SignedPackageIsListedAndItsAlignmentChecked) {
    const Bytes unsigned_ = ReadAll(BuildSmallPackage());
    ASSERT_EQ(unsigned_.size() % 8, 2u);  // so that a signer adds 6 zero bytes
    const std::uint64_t certificateOffset = unsigned_.size() + 6;
    // What a signer does: align, append the certificate table, point the security directory at it.
    const auto sign = [&](std::uint8_t padding, std::uint64_t offset, std::uint32_t declaredBytes) {
        Bytes bytes = unsigned_;
        bytes.resize(offset, padding);
        bytes.resize(offset + 0x48, 0xCE);
        Put32(bytes, SyntheticPe().SecurityDirectoryOffset(), static_cast<std::uint32_t>(offset));
        Put32(bytes, SyntheticPe().SecurityDirectoryOffset() + 4, declaredBytes);
        WriteAll(In("Signed.exe"), bytes);
        return In("Signed.exe").u16string();
    };

    const RunResult listed = Run({u"list", sign(0, certificateOffset, 0x48)});
    ASSERT_EQ(listed.exitCode, kExitSuccess) << listed.err;
    EXPECT_NE(listed.out.find("  [1] b.msp: 12 bytes at offset " + std::to_string(kTwoFileDataOffset + 20)),
              std::string::npos);
    EXPECT_NE(listed.out.find("Signature:       certificate table at offset " + std::to_string(certificateOffset) +
                              ", 72 bytes\n"),
              std::string::npos);
    const std::optional<Json> json = JsonReader::Parse(Run({u"list", u"--json", In("Signed.exe").u16string()}).out);
    ASSERT_TRUE(json.has_value());
    EXPECT_EQ((*json)["signature"]["offset"].number, certificateOffset);
    EXPECT_EQ((*json)["signature"]["size"].number, 0x48u);
    EXPECT_EQ((*json)["signature"]["reachesPastFileEnd"].kind, Json::Kind::Boolean);
    EXPECT_FALSE((*json)["signature"]["reachesPastFileEnd"].boolean);
    ASSERT_EQ(Run({u"extract", In("Signed.exe").u16string(), Out().u16string()}).exitCode, kExitSuccess);
    EXPECT_EQ(ReadAll(Out() / "b.msp"), ReadAll(In("b.msp")));

    ExpectOneErrorLine(Run({u"list", sign(0xAA, certificateOffset, 0x48)}), kExitBadInput, "6 unexpected bytes");
    ExpectOneErrorLine(Run({u"list", sign(0, certificateOffset + 8, 0x48)}), kExitBadInput, "14 unexpected bytes");
    // A table said to reach past the end of the file is listed as the updater reads the file: the package ends
    // where the table starts, or at the end of the file when the table would start beyond it.
    const RunResult cutTable = Run({u"list", sign(0, certificateOffset, 0x49)});
    ASSERT_EQ(cutTable.exitCode, kExitSuccess) << cutTable.err;
    EXPECT_NE(cutTable.out.find("certificate table at offset " + std::to_string(certificateOffset) +
                                ", 73 bytes, reaching past the end of the file\n"),
              std::string::npos) << cutTable.out;
    Bytes beyond = unsigned_;
    Put32(beyond, SyntheticPe().SecurityDirectoryOffset(), static_cast<std::uint32_t>(unsigned_.size() + 0x1000));
    Put32(beyond, SyntheticPe().SecurityDirectoryOffset() + 4, 0x48);
    WriteAll(In("Beyond.exe"), beyond);
    const std::optional<Json> beyondJson = JsonReader::Parse(Run({u"list", u"--json", In("Beyond.exe").u16string()}).out);
    ASSERT_TRUE(beyondJson.has_value());
    EXPECT_TRUE((*beyondJson)["signature"]["reachesPastFileEnd"].boolean);
    ASSERT_EQ((*beyondJson)["entries"].array.size(), 2u);
    EXPECT_EQ((*beyondJson)["entries"][1]["size"].number, 12u);
    ASSERT_EQ(Run({u"extract", In("Beyond.exe").u16string(), (Out() / "beyond").u16string()}).exitCode, kExitSuccess);
    EXPECT_EQ(ReadAll(Out() / "beyond" / "b.msp"), ReadAll(In("b.msp")));
    ExpectOneErrorLine(Build({In("a.msp")}, Out() / "Resigned.exe", u"N", u"1", In("Signed.exe")), kExitBadInput,
                       "already signed");
}

TEST_F(PackToolTest, ExtractRefusesToOverwriteAndThenWritesNothing) {
    const fs::path packed = BuildSmallPackage();
    WriteAll(Out() / "b.msp", Bytes(4, 'k'));
    ExpectOneErrorLine(Run({u"extract", packed.u16string(), Out().u16string()}), kExitBadInput,
                       "b.msp: exists already; extract does not overwrite files");
    EXPECT_EQ(OutContents(), std::set<fs::path>{"b.msp"});
    EXPECT_EQ(ReadAll(Out() / "b.msp"), Bytes(4, 'k'));
}

TEST_F(PackToolTest, ExtractMakesFilesNewAndTakesEverythingAwayAfterAFailure) {
    const fs::path packed = BuildSmallPackage();
    const Bytes good = ReadAll(packed);
    PackageContents contents;
    std::string error;
    ASSERT_TRUE(ReadPackage(packed, contents, error)) << error;

    // A file that appears after the check: the package now names c.msp, which someone has just created.
    Bytes renamed = good;
    Rename(renamed, 0, u"c.msp");
    WriteAll(packed, renamed);
    WriteAll(Out() / "c.msp", Bytes(3, 'c'));
    EXPECT_FALSE(ExtractPackage(packed, contents, Out(), error));
    EXPECT_NE(error.find("c.msp: exists already; extract does not overwrite files"), std::string::npos) << error;
    EXPECT_EQ(ReadAll(Out() / "c.msp"), Bytes(3, 'c'));
    EXPECT_EQ(OutContents(), std::set<fs::path>{"c.msp"});
    fs::remove(Out() / "c.msp");

    // The package is cut short while it is extracted: the file being written, the file before it and the
    // directories made for them all go; the directory that was there stays.
    WriteAll(packed, Bytes(good.begin(), good.end() - 5));
    EXPECT_FALSE(ExtractPackage(packed, contents, Out() / "new" / "deeper", error));
    EXPECT_NE(error.find("the package changed or can no longer be read"), std::string::npos) << error;
    EXPECT_EQ(OutContents(), std::set<fs::path>{});
    EXPECT_TRUE(fs::is_directory(Out()));

    // Names that are no UTF-16 would come out as one file on a POSIX disk: refused before anything is made.
    Bytes unpaired = good;
    Rename(unpaired, 0, u"\xDC00.msp");
    Rename(unpaired, 1, u"\xDC01.msp");
    WriteAll(packed, unpaired);
    ExpectOneErrorLine(Run({u"extract", packed.u16string(), (Out() / "new").u16string()}), kExitBadInput,
                       "the name is not valid UTF-16");
    EXPECT_EQ(OutContents(), std::set<fs::path>{});

    // A directory that is a file.
    WriteAll(packed, good);
    WriteAll(Out() / "file", Bytes(1, 'f'));
    ExpectOneErrorLine(Run({u"extract", packed.u16string(), (Out() / "file").u16string()}), kExitBadInput,
                       "file: not a directory");
    EXPECT_EQ(OutContents(), std::set<fs::path>{"file"});
}

TEST_F(PackToolTest, BuildRefusesNamesThatDifferOnlyInCaseBeyondAscii) {
    fs::create_directories(In("sub"));
    for (const auto& [first, second] : {std::pair{u8"\u00E4.msp", u8"sub/\u00C4.msp"},
                                        std::pair{u8"\u03C3.msp", u8"sub/\u03A3.msp"},
                                        std::pair{u8"\u0436.msp", u8"sub/\u0416.msp"}}) {
        SCOPED_TRACE(Utf8(first));
        ExpectOneErrorLine(Build({WritePatch(fs::path(first), 64, 1), WritePatch(fs::path(second), 64, 2)},
                                 Out() / "Update.exe"),
                           kExitBadInput, "its name collides with");
        EXPECT_EQ(OutContents(), std::set<fs::path>{});
    }
}

}  // namespace
}  // namespace corvantile::pack
