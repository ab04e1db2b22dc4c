#include "tools/PackTool.h"

#include "engine/PatchCatalogue.h"
#include "tests/package/SyntheticPe.h"
#include "tests/support/Json.h"
#include "tests/support/PackageBytes.h"
#include "tests/tools/CompoundFiles.h"
#include "tools/PackedUpdater.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include "engine/InstallerApi.h"
#include "engine/InstallerText.h"
#endif

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace corvantile::pack {
namespace {

namespace fs = std::filesystem;
using namespace corvantile::testing;

// The default synthetic stub ends its image here; a package starts here, its data 1114 bytes later when
// it carries two files under the example name and version.
constexpr std::uint64_t kStubBytes = 0x400;
constexpr std::uint64_t kTwoFileDataOffset = kStubBytes + 1114;
// The example name and version take 54 bytes of the header; the entry count and the records follow.
constexpr std::uint64_t kEntryCountAt = kStubBytes + 54;
constexpr std::uint64_t kFirstRecordAt = kStubBytes + 58;
// The data length of the second record, 520 bytes into it.
constexpr std::uint64_t kSecondDataLengthAt = kFirstRecordAt + 528 + 520;
constexpr std::uint64_t kFourGiB = std::uint64_t{1} << 32;
constexpr char kProductA[] = "{4C9B399E-2689-4D3F-81C7-70F0CE30C060}";
constexpr char kProductB[] = "{51F8566A-0103-4264-8BE2-9E3205FD05FD}";
constexpr char kProductC[] = "{4CBCAF25-990E-42C7-9B13-BBF68EDA0D80}";

// A patch code of its own for each seed.
std::string PatchCode(std::uint32_t seed) {
    char code[39];
    std::snprintf(code, sizeof code, "{%08X-0000-4000-8000-0000000000%02X}", seed, seed & 0xFF);
    return code;
}

struct RunResult {
    int exitCode = -1;
    std::string out;
    std::string err;
};

// Writes the code units of `text` at `at`, little-endian.
void PutUtf16(Bytes& bytes, std::size_t at, std::u16string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        bytes[at + 2 * i] = static_cast<std::uint8_t>(text[i]);
        bytes[at + 2 * i + 1] = static_cast<std::uint8_t>(text[i] >> 8);
    }
}

// The bytes with the name in record `entry` replaced, NUL-padded, in a package that starts right behind the
// default synthetic stub and carries the example name and version; a name of 260 code units leaves no NUL.
Bytes Renamed(Bytes bytes, int entry, std::u16string name) {
    name.resize(kFileNameChars, u'\0');
    PutUtf16(bytes, kFirstRecordAt + 528 * static_cast<std::size_t>(entry), name);
    return bytes;
}

// The bytes with a 32-bit little-endian `value` written at `at`.
Bytes WithLe32(Bytes bytes, std::size_t at, std::uint32_t value) {
    WriteLe32(bytes.data() + at, value);
    return bytes;
}

std::string Utf8(const char8_t* text) { return reinterpret_cast<const char*>(text); }

void ExpectContains(const std::string& text, const std::string& piece) {
    EXPECT_NE(text.find(piece), std::string::npos) << piece << "\nin\n" << text;
}

class PackToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        root_ = fs::temp_directory_path() /
                (std::string("corvantile-pack-") + test->name() + "-" + std::to_string(std::random_device()()));
        fs::create_directories(In("sub"));
        fs::create_directories(Out());
        stub_ = WriteIn("CorvantileUpdater.exe", SyntheticPe().File());
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }

    fs::path In(const fs::path& name) const { return root_ / "in" / name; }
    fs::path Out() const { return root_ / "out"; }

    fs::path WriteIn(const fs::path& name, const Bytes& bytes) const {
        WriteAll(In(name), bytes);
        return In(name);
    }
    // A real patch package with the seed's patch code, targeting the given products.
    fs::path WritePatch(const fs::path& name, std::uint32_t seed, const std::string& targets = kProductA,
                        std::size_t paddingBytes = 0) const {
        return WriteInstallerFile(name, {kPatchClass, targets, PatchCode(seed), true, paddingBytes});
    }
    fs::path WriteInstallerFile(const fs::path& name, const InstallerFile& file) const {
        return WriteIn(name, InstallerFileBytes(file));
    }
    // A compound-file signature and then bytes that differ between seeds: no compound file.
    fs::path WriteNoCompoundFile(const fs::path& name, std::size_t bytes, std::uint32_t seed) const {
        Bytes data{0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
        std::minstd_rand random(seed);
        while (data.size() < bytes) data.push_back(static_cast<std::uint8_t>(random()));
        data.resize(bytes);
        return WriteIn(name, data);
    }

    static RunResult Run(const std::vector<std::u16string>& args) {
        std::ostringstream out, err;
        const int exitCode = RunPackTool(args, out, err);
        return {exitCode, out.str(), err.str()};
    }
    static RunResult List(const fs::path& updater) { return Run({u"list", updater.u16string()}); }
    static RunResult ListJson(const fs::path& updater) { return Run({u"list", u"--json", updater.u16string()}); }
    // What list --json printed, read back; a failure, and an empty value, when it is no JSON.
    static Json Parsed(const std::string& printed) {
        std::optional<Json> json = JsonReader::Parse(printed);
        EXPECT_TRUE(json.has_value()) << printed;
        return json.value_or(Json{});
    }
    static Json ListedJson(const fs::path& updater) { return Parsed(ListJson(updater).out); }
    static RunResult Extract(const fs::path& updater, const fs::path& directory) {
        return Run({u"extract", updater.u16string(), directory.u16string()});
    }
    // Extracts without complaint: each input then lies in `directory` under its own name, byte for byte.
    static void ExpectExtracted(const fs::path& updater, const fs::path& directory,
                                const std::vector<fs::path>& inputs) {
        const RunResult extracted = Extract(updater, directory);
        ASSERT_EQ(extracted.exitCode, kExitSuccess) << extracted.err;
        for (const fs::path& input : inputs) EXPECT_EQ(ReadAll(directory / input.filename()), ReadAll(input)) << input;
    }
    RunResult Build(const std::vector<fs::path>& inputs, const fs::path& output,
                    const std::u16string& name = u"Example Server 10", const std::u16string& version = u"2.0.0.100",
                    const fs::path& stub = {}) const {
        std::vector<std::u16string> args{u"build",  u"--stub",   (stub.empty() ? stub_ : stub).u16string(),
                                         u"--name", name,        u"--version",
                                         version,   u"--output", output.u16string()};
        for (const fs::path& input : inputs) args.push_back(input.u16string());
        return Run(args);
    }
    // A packed updater with two small patches for one product, a.msp and b.msp.
    fs::path BuildSmallPackage() const {
        const RunResult built = Build({WritePatch("a.msp", 1), WritePatch("b.msp", 2)}, In("Update.exe"));
        EXPECT_EQ(built.exitCode, kExitSuccess) << built.err;
        return In("Update.exe");
    }
    std::set<fs::path> OutContents() const {
        std::set<fs::path> found;
        for (const auto& entry : fs::recursive_directory_iterator(Out()))
            found.insert(fs::relative(entry.path(), Out()));
        return found;
    }

    fs::path root_;
    fs::path stub_;
};

void ExpectOneErrorLine(const RunResult& result, int exitCode, const std::string& message) {
    EXPECT_EQ(result.exitCode, exitCode) << result.err;
    EXPECT_EQ(result.err.rfind("corvantile-pack: ", 0), 0u) << result.err;
    ExpectContains(result.err, message);
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_EQ(result.out, "");
}

TEST_F(PackToolTest, BuildListExtractRoundTrip) {
    // Larger than the copy buffer, so that the copy takes several rounds.
    const fs::path a = WritePatch("a.msp", 1, std::string(kProductA) + ";" + kProductB, (std::size_t{3} << 20) + 5);
    const fs::path b = WritePatch("b.msp", 2, kProductB);
    const std::uint64_t aBytes = fs::file_size(a);
    const std::uint64_t bBytes = fs::file_size(b);
    ASSERT_GT(aBytes, std::uint64_t{3} << 20);
    const fs::path packed = Out() / "Update.exe";
    const RunResult built = Build({a, b}, packed);
    ASSERT_EQ(built.exitCode, kExitSuccess) << built.err;
    EXPECT_EQ(built.err, "");  // one group of patches: no warning

    const Bytes stub = ReadAll(stub_);
    const Bytes bytes = ReadAll(packed);
    ASSERT_EQ(bytes.size(), kTwoFileDataOffset + aBytes + bBytes);
    EXPECT_TRUE(std::equal(stub.begin(), stub.end(), bytes.begin()));
    EXPECT_EQ(bytes[kStubBytes], 34);                      // nameLength
    EXPECT_EQ(bytes[kStubBytes + 1 + 34], 18);             // versionLength
    EXPECT_EQ(bytes[kEntryCountAt], 2);                    // entryCount
    EXPECT_EQ(bytes[kFirstRecordAt + 528], 'b');           // entry 1's name
    EXPECT_EQ(bytes[kSecondDataLengthAt], bBytes & 0xFF);  // entry 1's dataLength
    EXPECT_EQ(bytes[kSecondDataLengthAt + 1], (bBytes >> 8) & 0xFF);
    const Bytes b_bytes = ReadAll(b);
    EXPECT_TRUE(std::equal(b_bytes.begin(), b_bytes.end(), bytes.end() - static_cast<std::ptrdiff_t>(bBytes)));

    const RunResult listed = List(packed);
    ASSERT_EQ(listed.exitCode, kExitSuccess) << listed.err;
    // clang-format off
    const std::string expected =
        "Product name:    Example Server 10\nProduct version: 2.0.0.100\n"
        "Package offset:  1024\nUpdate files:    2\n"
        "  [0] a.msp: " + std::to_string(aBytes) + " bytes at offset 2138\n"
        "      patch code " + PatchCode(1) + ", targets " + kProductA + " " + kProductB + "\n"
        "  [1] b.msp: " + std::to_string(bBytes) + " bytes at offset " + std::to_string(2138 + aBytes) + "\n"
        "      patch code " + PatchCode(2) + ", targets " + kProductB + "\n"
        "Signature:       none\n";
    // clang-format on
    EXPECT_EQ(listed.out, expected);

    const fs::path directory = Out() / "x" / "y";  // its parents are missing too
    ExpectExtracted(packed, directory, {a, b});
    EXPECT_EQ(std::distance(fs::directory_iterator(directory), fs::directory_iterator()), 2);
}

TEST_F(PackToolTest, ListJsonIsOneObjectWithEscapedUnicodeText) {
    const fs::path name = fs::path(u8"\u00DCbersicht-\u66F4\u65B0-\U0001F600.msp");
    const std::u16string productName = u"Say \"hi\" \\ \u202E S\u00FCd \U0001F600";
    // Two bytes a code unit more or less than in "Example Server 10" move the data.
    const std::uint64_t dataOffset = kTwoFileDataOffset + 2 * productName.size() - 34;
    const RunResult built =
        Build({WritePatch(name, 1), WritePatch("b.msp", 2, kProductC)}, In("Update.exe"), productName);
    ASSERT_EQ(built.exitCode, kExitSuccess) << built.err;
    const std::uint64_t firstBytes = fs::file_size(In(name));

    const RunResult listed = ListJson(In("Update.exe"));
    ASSERT_EQ(listed.exitCode, kExitSuccess) << listed.err;
    EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'), 1);
    const Json root = Parsed(listed.out);
    EXPECT_EQ(root.object.size(), 5u);
    EXPECT_EQ(root["productName"].string, Utf8(u8"Say \"hi\" \\ \u202E S\u00FCd \U0001F600"));
    EXPECT_EQ(root["productVersion"].string, "2.0.0.100");
    EXPECT_EQ(root["packageOffset"].number, kStubBytes);
    ASSERT_EQ(root["entries"].array.size(), 2u);
    const Json& first = root["entries"][0];
    EXPECT_EQ(first.object.size(), 7u);
    EXPECT_EQ(first["index"].number, 0u);
    EXPECT_EQ(first["fileName"].string, Utf8(u8"\u00DCbersicht-\u66F4\u65B0-\U0001F600.msp"));
    EXPECT_EQ(first["size"].number, firstBytes);
    EXPECT_EQ(first["offset"].number, dataOffset);
    ASSERT_EQ(first["targets"].array.size(), 1u);
    EXPECT_EQ(first["targets"][0].string, kProductA);
    EXPECT_EQ(first["patchCode"].string, PatchCode(1));
    EXPECT_EQ(first["problem"].kind, Json::Kind::Null);
    const Json& second = root["entries"][1];
    EXPECT_EQ(second["index"].number, 1u);
    EXPECT_EQ(second["offset"].number, dataOffset + firstBytes);
    EXPECT_EQ(second["targets"][0].string, kProductC);
    EXPECT_EQ(second["patchCode"].string, PatchCode(2));
    EXPECT_EQ(root["signature"].kind, Json::Kind::Null);

    ExpectExtracted(In("Update.exe"), Out(), {In(name)});
}

TEST_F(PackToolTest, BuildKeepsTheLongestHeaderTextsAndReplacesAnExistingOutput) {
    const std::u16string name = std::u16string(125, u'N') + u"\U0001F600";  // a pair: 127 code units
    const std::u16string version(127, u'7');
    WriteAll(Out() / "Update.exe", Bytes(10, 'x'));
    ASSERT_EQ(Build({WritePatch("a.msp", 1)}, Out() / "Update.exe", name, version).exitCode, kExitSuccess);
    EXPECT_EQ(OutContents(), std::set<fs::path>{"Update.exe"});

    const Json json = ListedJson(Out() / "Update.exe");
    EXPECT_EQ(json["productName"].string, std::string(125, 'N') + Utf8(u8"\U0001F600"));
    EXPECT_EQ(json["productVersion"].string, std::string(127, '7'));
}

TEST_F(PackToolTest, BuildTakesTheLongestNameTheUpdaterCanExtract) {
    const std::string name = std::string(118, 'n') + ".msp";  // 122 code units
    ASSERT_EQ(Build({WritePatch(name, 1)}, Out() / "Update.exe").exitCode, kExitSuccess);
    ExpectExtracted(Out() / "Update.exe", Out() / "x", {In(name)});
}

TEST_F(PackToolTest, BuildRefusalsLeaveNoOutputAndNoTemporaryFile) {
    const fs::path a = WritePatch("a.msp", 1);
    const fs::path output = Out() / "Update.exe";
    // Each case runs a build: of these inputs, with these header texts, or with this stub.
    const auto build = [&](std::vector<fs::path> inputs) { return [=, this] { return Build(inputs, output); }; };
    const auto texts = [&](std::u16string name, std::u16string version = u"2.0.0.100") {
        return [=, this] { return Build({a}, output, name, version); };
    };
    const auto withStub = [&](const Bytes& stub) {
        return [=, this] { return Build({a}, output, u"Example Server 10", u"2.0.0.100", WriteIn("stub.exe", stub)); };
    };
    const Bytes stub = SyntheticPe().File();
    fs::create_directories(In("folder.msp"));
    WriteAll(In("text.msp"), Bytes(100, 'T'));
    std::string lowerCaseCode = PatchCode(1);
    std::transform(lowerCaseCode.begin(), lowerCaseCode.end(), lowerCaseCode.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    const std::string unnamable = "cannot be named in the package: the name ";
    const std::string noTargets = "a patch package whose list of target products is empty";

    const std::vector<std::pair<std::function<RunResult()>, std::string>> refusals{
        {texts(std::u16string(128, u'n')), "the product name is longer than 127"},
        {texts(u"Example", std::u16string(128, u'1')), "the product version is longer"},
        {texts(u"Example\nServer"), "the product name holds a control character"},
        {texts(u""), "the product name is empty"},
        {texts(u"Example "), "the product name begins or ends with a space"},
        {texts(u"Example", u""), "the product version is empty"},
        {texts(u"Example", u"\u30002.0"), "the product version begins or ends"},  // an ideographic space, 2.0
        {build({a, a}), "a.msp: is given twice"},
        {build({a, In("sub") / ".." / "a.msp"}), "a.msp: is given twice (also as "},
        {build({WritePatch(std::string(119, 'n') + ".msp", 7)}), "the name is longer than 122 UTF-16 code units"},
        {texts(u"Example\u007F"), "the product name holds a control character"},
        {texts(u"N", u"2.0\u009B1m"), "the product version holds a control character"},
        {build({a, WritePatch(fs::path("sub") / "A.MSP", 2)}), "A.MSP: its name collides with"},
        // Names that differ only in case beyond ASCII collide too.
        {build({WritePatch(u8"\u00E4.msp", 1), WritePatch(u8"sub/\u00C4.msp", 2)}),
         "\u00C4.msp: its name collides with"},
        {build({WritePatch(u8"\u03C3.msp", 1), WritePatch(u8"sub/\u03A3.msp", 2)}),
         "\u03A3.msp: its name collides with"},
        {build({WritePatch(u8"\u0436.msp", 1), WritePatch(u8"sub/\u0416.msp", 2)}),
         "\u0416.msp: its name collides with"},
        {build({a, WritePatch("again.msp", 1, kProductB)}), "again.msp: has the patch code " + PatchCode(1) + " of "},
        {build({a, WriteInstallerFile("lower.msp", {kPatchClass, kProductA, lowerCaseCode})}),
         "lower.msp: has the patch code " + lowerCaseCode + " of "},
        {build({WriteInstallerFile("product.msp", {kDatabaseClass, "x64;1033", PatchCode(5)})}),
         "product.msp: not a patch package (a product database)"},
        {build({WriteInstallerFile("change.msp", {kTransformClass, "x64;1033", PatchCode(5)})}),
         "change.msp: not a patch package (a transform)"},
        {build({WriteInstallerFile("doc.msp", {"{00020906-0000-0000-C000-000000000046}", kProductA, PatchCode(5)})}),
         "doc.msp: not a patch package (a compound file of another kind)"},
        {build({WriteNoCompoundFile("damaged.msp", 4096, 5)}),
         "damaged.msp: not a patch package (a damaged compound file)"},
        {build({WriteInstallerFile("none.msp", {kPatchClass, "", PatchCode(5)})}), "none.msp: " + noTargets},
        {build({WriteInstallerFile("semicolons.msp", {kPatchClass, ";;", PatchCode(5)})}),
         "semicolons.msp: " + noTargets},
        {build({WriteInstallerFile("missing-targets.msp", {kPatchClass, "", PatchCode(5), false})}),
         "missing-targets.msp: " + noTargets},
        {build({WriteInstallerFile("code.msp", {kPatchClass, kProductA, "{4C9B399E-2689-4D3F-81C7}"})}),
         "code.msp: a patch package whose revision number does not begin with a patch code"},
        {build({WritePatch(u8"a\u202Egpj.msp", 6)}), unnamable + "holds a control or"},
        {build({WritePatch(u8"\uFEFFa.msp", 6)}), unnamable + "holds a control or"},
        {build({WritePatch(u8"a\u0085b.msp", 6)}), unnamable + "holds a control or"},
        {build({WritePatch(u8"a\u200Bb.msp", 6)}), unnamable + "holds a control or"},
        {build({WritePatch(" a.msp", 6)}), unnamable + "begins or ends with a space"},
        {build({WritePatch(u8"a.msp\u00A0", 6)}), unnamable + "begins or ends with a space"},
        {build({a, In("missing.msp")}), "missing.msp: "},
        {build({In("folder.msp")}), "folder.msp: not a regular file"},
        {build({WriteNoCompoundFile("short.msp", 7, 3)}),
         "short.msp: not a patch package (no compound-file signature)"},
        {build({In("text.msp")}), "text.msp: not a patch package"},
        {withStub(Bytes(0x400, 'M')), "stub.exe: not a PE image"},
        {withStub(Concat({stub, Bytes{0}})), "stub.exe: 1 bytes follow its last section"},
        {withStub(Prefix(stub, stub.size() - 1)), "stub.exe: the file ends inside its last section"},
        {withStub(SyntheticPe{.certificateOffset = 0x400, .certificateBytes = 0x10}.File()),
         "stub.exe: already signed"},
        {withStub(SyntheticPe{.productName = u""}.File()), "stub.exe: not the updater: it carries no version resource"},
        {withStub(SyntheticPe{.productName = u"Other Program"}.File()),
         "stub.exe: not the updater: its product name is \"Other Program\""},
        {[&] { return Build({a}, Out() / "missing" / "Update.exe"); }, "cannot be created"},
#ifndef _WIN32  // names that Windows will not even create
        {build({WritePatch("CON.msp", 4)}), "CON.msp: " + unnamable + "is a reserved"},
        {build({WritePatch("a.msp.", 4)}), unnamable + "ends with a dot"},
        {build({WritePatch("a*b.msp", 4)}), unnamable + "holds a character"},
        {build({WritePatch("a\\b.msp", 4)}), unnamable + "holds a directory part"},
#endif
    };
    for (const auto& [run, message] : refusals) {
        SCOPED_TRACE(message);
        ExpectOneErrorLine(run(), kExitBadInput, message);
        EXPECT_EQ(OutContents(), std::set<fs::path>{});
        // A wrongly accepted case must not hide the cases after it.
        fs::remove_all(Out());
        fs::create_directories(Out());
    }

    // A packed updater is no stub: it already carries a package.
    ASSERT_EQ(Build({a}, In("Update.exe")).exitCode, kExitSuccess);
    ExpectOneErrorLine(Build({a}, output, u"N", u"1", In("Update.exe")), kExitBadInput,
                       "bytes follow its last section");
    EXPECT_EQ(OutContents(), std::set<fs::path>{});
}

TEST_F(PackToolTest, BuildRefusesAnOutputThatIsAnInputWhateverItsSpelling) {
    const fs::path a = WritePatch("a.msp", 1);
    std::error_code linked;
    fs::create_hard_link(stub_, In("stub-link.exe"), linked);
    ASSERT_FALSE(linked) << linked.message();
    const Bytes aBytes = ReadAll(a);
    const Bytes stubBytes = ReadAll(stub_);
    const std::vector<std::pair<fs::path, std::string>> outputs{
        {stub_, "is the same file as the stub"},
        {In("stub-link.exe"), "is the same file as the stub"},  // a hard link
        {In("sub") / ".." / "CorvantileUpdater.exe", "is the same file as the stub"},
        {a, "is the same file as the update file"},
        {In("sub") / ".." / "a.msp", "is the same file as the update file"},
#ifdef _WIN32
        {In("A.MSP"), "is the same file as the update file"},
#endif
    };
    for (const auto& [output, message] : outputs) {
        SCOPED_TRACE(output.string());
        ExpectOneErrorLine(Build({a}, output), kExitBadInput, message);
        EXPECT_EQ(ReadAll(a), aBytes);
        EXPECT_EQ(ReadAll(stub_), stubBytes);
        // Restores what a wrong acceptance replaced, so that it does not hide the cases after it.
        WriteAll(a, aBytes);
        WriteAll(stub_, stubBytes);
    }
}

TEST_F(PackToolTest, FailureAfterWritingRemovesTheTemporaryFile) {
    // The rename at the end fails: the output is a directory that holds a file.
    fs::create_directories(Out() / "Update.exe");
    WriteAll(Out() / "Update.exe" / "keep", Bytes(3, 'k'));
    ExpectOneErrorLine(Build({WritePatch("a.msp", 1)}, Out() / "Update.exe"), kExitBadInput, "cannot be replaced");
    EXPECT_EQ(OutContents(), (std::set<fs::path>{"Update.exe", fs::path("Update.exe") / "keep"}));
}

TEST_F(PackToolTest, InputsOf4GiBOrMoreAreRefusedBeforeAnythingIsCopied) {
    // Sparse files: only their size is ever looked at, so the test stays fast.
    const fs::path fourGiB = WritePatch("four.msp", 1);
    const fs::path fiveGiB = WritePatch("five.msp", 1);
    const fs::path justBelow = In("below.msp");
    WriteAll(justBelow, {});
    std::error_code ec;
    for (const auto& [file, bytes] :
         {std::pair{fourGiB, kFourGiB}, std::pair{fiveGiB, 5 * kFourGiB / 4}, std::pair{justBelow, kFourGiB - 1}}) {
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
    // Each command's --help tells its own usage and no other.
    const std::vector<std::pair<std::vector<std::u16string>, std::string>> helps{
        {{u"--help"}, "Usage:\n  corvantile-pack build --stub"},
        {{u"-h"}, "Usage:\n  corvantile-pack build --stub"},
        {{u"help"}, "Usage:\n  corvantile-pack build --stub"},
        {{u"build", u"--help"}, "Usage: corvantile-pack build --stub"},
        {{u"list", u"--help"}, "Usage: corvantile-pack list [--json]"},
        {{u"extract", u"-h"}, "Usage: corvantile-pack extract UPDATER.exe"},
    };
    for (const auto& [args, start] : helps) {
        const RunResult help = Run(args);
        EXPECT_EQ(help.exitCode, kExitSuccess);
        EXPECT_EQ(help.out.rfind(start, 0), 0u) << help.out;
        EXPECT_EQ(help.out.find("Usage:", 1) == std::string::npos, args.size() == 2) << help.out;
        EXPECT_EQ(help.err, "");
    }
    // After "--", a dash starts a file name rather than an option.
    ExpectOneErrorLine(Run({u"list", u"--", u"--json"}), kExitBadInput, "--json: ");
}

TEST_F(PackToolTest, ListAndExtractRefuseFilesWithoutAnIntactPackage) {
    const Bytes good = ReadAll(BuildSmallPackage());
    const auto bBytes = static_cast<std::uint32_t>(fs::file_size(In("b.msp")));
    const auto namedBoth = [&](const std::u16string& first, const std::u16string& second) {
        return Renamed(Renamed(good, 0, first), 1, second);
    };
    // An image said to end at 0: what follows its headers would be read from the headers themselves.
    const Bytes zeroImage = Concat({SyntheticPe{.sections = {{0, 0}}}.File(),
                                    Bytes(good.begin() + static_cast<std::ptrdiff_t>(kStubBytes), good.end())});
    const std::vector<std::pair<Bytes, std::string>> damaged{
        {Bytes(2000, 'M'), "not a PE image"},
        {SyntheticPe().File(), "no update package behind the image"},
        {zeroImage, "no update package behind the image"},  // the updater finds none there either
        {WithLe32(good, kEntryCountAt, 0xFFFFFFFF), "table of 4294967295 entries does not fit"},
        {WithLe32(good, kEntryCountAt, 1),
         "damaged update package: " + std::to_string(528 + bBytes) + " unexpected bytes"},
        {Renamed(good, 0, std::u16string(260, u'x')), "entry 0: the file name has no terminating NUL"},
        {Renamed(good, 1, u".."), "entry 1: \"..\": the name is . or .."},
        {Renamed(good, 1, u"sub\\b.msp"), "entry 1: \"sub\\\\b.msp\": the name holds a directory part"},
        {Renamed(good, 1, u"A.MSP"), "entry 1: \"A.MSP\" collides with the name of entry 0"},
        {namedBoth(u"\u00E4.msp", u"\u00C4.msp"), "entry 1: \"\u00C4.msp\" collides with the name of entry 0"},
        {namedBoth(u"\u03C3", u"\u03A3"), "entry 1: \"\u03A3\" collides with the name of entry 0"},
        {namedBoth(u"\xD800.msp", u"\xD801.msp"), "entry 0: \"\\ud800.msp\": the name is not valid UTF-16"},
        {Renamed(good, 1, u"COM\u00B9.msp"), "entry 1: \"COM\u00B9.msp\": the name is a reserved device name"},
        {Renamed(good, 1, u"LPT0.msp"), "entry 1: \"LPT0.msp\": the name is a reserved device name"},
        {Renamed(good, 1, u"CONOUT$"), "entry 1: \"CONOUT$\": the name is a reserved device name"},
        {Renamed(good, 1, std::u16string(256, u'n')), "the name is longer than 255 UTF-16 code units"},
        {WithLe32(good, kSecondDataLengthAt, bBytes + 1), "the files' data is cut short by 1 bytes"},
        {WithLe32(good, kSecondDataLengthAt, bBytes - 1), "1 unexpected bytes follow the last file's data"},
        {Concat({good, Bytes{0}}), "1 unexpected bytes follow"},  // zero padding needs a signature
    };
    for (const auto& [bytes, message] : damaged) {
        SCOPED_TRACE(message);
        const fs::path file = WriteIn("damaged.exe", bytes);
        ExpectOneErrorLine(List(file), kExitBadInput, message);
        ExpectOneErrorLine(Extract(file, Out() / "x"), kExitBadInput, message);
        EXPECT_EQ(OutContents(), std::set<fs::path>{});
    }
    // Cut anywhere: inside the header, the table or the data.
    for (std::size_t size = kStubBytes + 1; size < good.size(); ++size) {
        const RunResult listed = List(WriteIn("cut.exe", Prefix(good, size)));
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
        EXPECT_TRUE(SetSecurityDirectory(bytes, static_cast<std::uint32_t>(offset), declaredBytes));
        return WriteIn("Signed.exe", bytes);
    };

    const RunResult listed = List(sign(0, certificateOffset, 0x48));
    ASSERT_EQ(listed.exitCode, kExitSuccess) << listed.err;
    ExpectContains(listed.out, "  [1] b.msp: " + std::to_string(fs::file_size(In("b.msp"))) + " bytes at offset " +
                                   std::to_string(kTwoFileDataOffset + fs::file_size(In("a.msp"))));
    ExpectContains(listed.out, "Signature:       certificate table at offset " + std::to_string(certificateOffset) +
                                   ", 72 bytes\n");
    const Json json = ListedJson(In("Signed.exe"));
    EXPECT_EQ(json["signature"]["offset"].number, certificateOffset);
    EXPECT_EQ(json["signature"]["size"].number, 0x48u);
    EXPECT_EQ(json["signature"]["reachesPastFileEnd"].kind, Json::Kind::Boolean);
    EXPECT_FALSE(json["signature"]["reachesPastFileEnd"].boolean);
    ExpectExtracted(In("Signed.exe"), Out(), {In("a.msp"), In("b.msp")});

    ExpectOneErrorLine(List(sign(0xAA, certificateOffset, 0x48)), kExitBadInput, "6 unexpected bytes");
    ExpectOneErrorLine(List(sign(0, certificateOffset + 8, 0x48)), kExitBadInput, "14 unexpected bytes");
    // A table said to reach past the end of the file is listed as the updater reads the file: the package ends
    // where the table starts, or at the end of the file when the table would start beyond it. The signature
    // cannot verify, so the listing ends with the refusal, and extract refuses before it writes anything.
    const std::string damagedSignature = "the signature is damaged: its certificate table";
    const RunResult cutTable = List(sign(0, certificateOffset, 0x49));
    EXPECT_EQ(cutTable.exitCode, kExitBadInput);
    ExpectContains(cutTable.err, damagedSignature);
    ExpectContains(cutTable.out, "certificate table at offset " + std::to_string(certificateOffset) +
                                     ", 73 bytes, reaching past the end of the file\n");
    ExpectOneErrorLine(Extract(In("Signed.exe"), Out() / "cut"), kExitBadInput, damagedSignature);
    EXPECT_FALSE(fs::exists(Out() / "cut"));
    Bytes beyond = unsigned_;
    ASSERT_TRUE(SetSecurityDirectory(beyond, static_cast<std::uint32_t>(unsigned_.size() + 0x1000), 0x48));
    WriteAll(In("Beyond.exe"), beyond);
    const RunResult beyondListed = ListJson(In("Beyond.exe"));
    EXPECT_EQ(beyondListed.exitCode, kExitBadInput);
    ExpectContains(beyondListed.err, damagedSignature);
    const Json beyondJson = Parsed(beyondListed.out);
    EXPECT_TRUE(beyondJson["signature"]["reachesPastFileEnd"].boolean);
    ASSERT_EQ(beyondJson["entries"].array.size(), 2u);
    EXPECT_EQ(beyondJson["entries"][1]["size"].number, fs::file_size(In("b.msp")));
    ExpectOneErrorLine(Extract(In("Beyond.exe"), Out() / "beyond"), kExitBadInput, damagedSignature);
    EXPECT_FALSE(fs::exists(Out() / "beyond"));
    // Bytes behind the data of a file whose table is said to lie beyond it are no signer's padding: the
    // damaged signature is what is named.
    beyond.resize(beyond.size() + 0x48, 0xCE);
    WriteAll(In("Beyond.exe"), beyond);
    ExpectOneErrorLine(List(In("Beyond.exe")), kExitBadInput, damagedSignature);
    // A table that starts inside the files' data is named as what cuts the data short.
    ExpectOneErrorLine(List(sign(0, certificateOffset - 8, 0x48)), kExitBadInput, "the certificate table starts ");
    ExpectOneErrorLine(Build({In("a.msp")}, Out() / "Resigned.exe", u"N", u"1", In("Signed.exe")), kExitBadInput,
                       "already signed");
}

TEST_F(PackToolTest, BuildWarnsOfPatchesThatShareNoTargetProduct) {
    const fs::path a = WritePatch("a.msp", 1, kProductA);
    const fs::path b = WritePatch("b.msp", 2, kProductB);
    const fs::path c = WritePatch("c.msp", 3, std::string(kProductC) + ";" + kProductA);
    const fs::path d = WritePatch("d.msp", 4, kProductC);
    const RunResult split = Build({a, b, c}, Out() / "Split.exe");
    EXPECT_EQ(split.exitCode, kExitSuccess);
    EXPECT_EQ(split.err,
              "corvantile-pack: warning: the update files fall into 2 groups that share no target product: " +
                  a.string() + ", " + c.string() + " | " + b.string() + "\n");
    // a and d share no product, but c joins them into one group.
    const RunResult joined = Build({a, d, c}, Out() / "Joined.exe");
    EXPECT_EQ(joined.exitCode, kExitSuccess);
    EXPECT_EQ(joined.err, "");
    EXPECT_EQ(OutContents(), (std::set<fs::path>{"Split.exe", "Joined.exe"}));
}

TEST_F(PackToolTest, ListShowsWhatEachPackedFileIs) {
    // A package of five patches whose data is then replaced by files of the same size that are none.
    std::vector<fs::path> inputs;
    for (std::uint32_t seed = 1; seed <= 5; ++seed) inputs.push_back(WritePatch(std::to_string(seed) + ".msp", seed));
    ASSERT_EQ(Build(inputs, In("Update.exe")).exitCode, kExitSuccess);
    Bytes packed = ReadAll(In("Update.exe"));
    const std::uint64_t patchBytes = fs::file_size(inputs[0]);
    const std::uint64_t dataOffset = kFirstRecordAt + 5 * 528;
    const auto replace = [&](std::size_t entry, Bytes data) {
        ASSERT_EQ(data.size(), patchBytes);
        std::copy(data.begin(), data.end(),
                  packed.begin() + static_cast<std::ptrdiff_t>(dataOffset + entry * patchBytes));
    };
    replace(0, InstallerFileBytes({kDatabaseClass, "x64;1033", PatchCode(9)}));
    replace(1, InstallerFileBytes({kTransformClass, "x64;1033", PatchCode(9)}));
    replace(2, InstallerFileBytes({kPatchClass, "", PatchCode(9)}));
    replace(3, Bytes(patchBytes, 'T'));
    WriteAll(In("Update.exe"), packed);

    const RunResult listed = List(In("Update.exe"));
    ASSERT_EQ(listed.exitCode, kExitSuccess) << listed.err;
    const std::string size = std::to_string(patchBytes);
    for (const std::string& expected :
         {"  [0] 1.msp: " + size + " bytes at offset " + std::to_string(dataOffset) +
              "\n      not a patch package (a product database)\n",
          "bytes at offset " + std::to_string(dataOffset + patchBytes) + "\n      not a patch package (a transform)\n",
          "\n      patch code " + PatchCode(9) +
              ", targets none\n"
              "      a patch package whose list of target products is empty\n",
          "  [3] 4.msp: " + size + " bytes at offset " + std::to_string(dataOffset + 3 * patchBytes) +
              "\n      not a patch package (no compound-file signature)\n",
          "\n      patch code " + PatchCode(5) + ", targets " + kProductA + "\nSignature:"}) {
        ExpectContains(listed.out, expected);
    }

    const Json json = ListedJson(In("Update.exe"));
    const Json& entries = json["entries"];
    ASSERT_EQ(entries.array.size(), 5u);
    EXPECT_EQ(entries[0]["problem"].string, "not a patch package (a product database)");
    EXPECT_EQ(entries[0]["patchCode"].kind, Json::Kind::Null);
    EXPECT_EQ(entries[0]["targets"].array.size(), 0u);
    EXPECT_EQ(entries[2]["patchCode"].string, PatchCode(9));
    EXPECT_EQ(entries[2]["problem"].string, "a patch package whose list of target products is empty");
    EXPECT_EQ(entries[3]["problem"].string, "not a patch package (no compound-file signature)");
    EXPECT_EQ(entries[4]["patchCode"].string, PatchCode(5));
    EXPECT_EQ(entries[4]["problem"].kind, Json::Kind::Null);
}

TEST_F(PackToolTest, ListEscapesWhatATerminalWouldNotShow) {
    ASSERT_EQ(Build({WritePatch("a.msp", 1)}, In("Update.exe")).exitCode, kExitSuccess);
    Bytes packed = ReadAll(In("Update.exe"));
    // Texts of the same lengths that a hostile package could carry: build refuses them, list must not print
    // them raw.
    PutUtf16(packed, kStubBytes + 1, u"Ex\nFile: x\r\x1B[2J\\\u0085");
    PutUtf16(packed, kStubBytes + 36, u"2.0\u202E001\uFEFF");
    PutUtf16(packed, kFirstRecordAt, u"a\u202Egpj.msp");
    WriteAll(In("Update.exe"), packed);

    const RunResult listed = List(In("Update.exe"));
    ASSERT_EQ(listed.exitCode, kExitSuccess) << listed.err;
    EXPECT_EQ(listed.out.rfind(R"(Product name:    Ex\u{000A}File: x\u{000D}\u{001B}[2J\\\u{0085})"
                               "\n"
                               R"(Product version: 2.0\u{202E}001\u{FEFF}0)"
                               "\n",
                               0),
              0u)
        << listed.out;
    ExpectContains(listed.out, R"(  [0] a\u{202E}gpj.msp: )");
    EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'), 7);
    EXPECT_EQ(listed.out.find('\r'), std::string::npos);
    EXPECT_EQ(listed.out.find('\x1B'), std::string::npos);
    EXPECT_EQ(listed.out.find("\xE2\x80\xAE"), std::string::npos);  // U+202E

    const Json json = ListedJson(In("Update.exe"));
    EXPECT_EQ(json["productName"].string, Utf8(u8"Ex\nFile: x\r\x1B[2J\\\u0085"));
    EXPECT_EQ(json["entries"][0]["fileName"].string, Utf8(u8"a\u202Egpj.msp"));
}

TEST_F(PackToolTest, ExtractRefusesToOverwriteAndThenWritesNothing) {
    const fs::path packed = BuildSmallPackage();
    WriteAll(Out() / "b.msp", Bytes(4, 'k'));
    ExpectOneErrorLine(Extract(packed, Out()), kExitBadInput,
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
    WriteAll(packed, Renamed(good, 0, u"c.msp"));
    WriteAll(Out() / "c.msp", Bytes(3, 'c'));
    EXPECT_FALSE(ExtractPackage(packed, contents, Out(), error));
    ExpectContains(error, "c.msp: exists already; extract does not overwrite files");
    EXPECT_EQ(ReadAll(Out() / "c.msp"), Bytes(3, 'c'));
    EXPECT_EQ(OutContents(), std::set<fs::path>{"c.msp"});
    fs::remove(Out() / "c.msp");

    // The package is cut short while it is extracted: the file being written, the file before it and the
    // directories made for them all go; the directory that was there stays.
    WriteAll(packed, Bytes(good.begin(), good.end() - 5));
    EXPECT_FALSE(ExtractPackage(packed, contents, Out() / "new" / "deeper", error));
    ExpectContains(error, "the package changed or can no longer be read");
    EXPECT_EQ(OutContents(), std::set<fs::path>{});
    EXPECT_TRUE(fs::is_directory(Out()));

    // Names that are no UTF-16 would come out as one file on a POSIX disk: refused before anything is made.
    WriteAll(packed, Renamed(Renamed(good, 0, u"\xDC00.msp"), 1, u"\xDC01.msp"));
    ExpectOneErrorLine(Extract(packed, Out() / "new"), kExitBadInput, "the name is not valid UTF-16");
    EXPECT_EQ(OutContents(), std::set<fs::path>{});

    // A directory that is a file.
    WriteAll(packed, good);
    WriteAll(Out() / "file", Bytes(1, 'f'));
    ExpectOneErrorLine(Extract(packed, Out() / "file"), kExitBadInput, "file: not a directory");
    EXPECT_EQ(OutContents(), std::set<fs::path>{"file"});
}

#ifdef _WIN32
// What list shows is what the updater will do: the same patches, read by the updater's own catalogue through the
// system's Installer, name the same product codes through the same patches, empty pieces included.
TEST_F(PackToolTest, ListShowsTheProductCodesThatTheUpdaterQueries) {
    const std::string a = kProductA;
    const std::string b = kProductB;
    const std::vector<fs::path> patches{WritePatch("pieces.msp", 1, ";" + a + ";;" + b + ";"),
                                        WritePatch("trailing.msp", 2, b + ";"), WritePatch("plain.msp", 3, kProductC)};
    ASSERT_EQ(Build(patches, Out() / "Update.exe").exitCode, kExitSuccess);
    const Json json = ListedJson(Out() / "Update.exe");
    PatchCatalogue listed;
    for (const Json& entry : json["entries"].array) {
        for (const Json& target : entry["targets"].array) {
            listed[std::wstring(target.string.begin(), target.string.end())].push_back(
                static_cast<std::uint32_t>(entry["index"].number));
        }
    }

    const InstallerApi* installer = LoadSystemInstaller();
    ASSERT_NE(installer, nullptr);
    std::vector<std::wstring> paths;
    for (const fs::path& patch : patches) paths.push_back(patch.wstring());
    const std::optional<PatchCatalogue> queried = ReadPatchCatalogue(*installer, paths);
    ASSERT_TRUE(queried.has_value());
    EXPECT_EQ(listed, *queried);
    EXPECT_EQ(listed.count(L""), 1u);
}
#endif

}  // namespace
}  // namespace corvantile::pack
