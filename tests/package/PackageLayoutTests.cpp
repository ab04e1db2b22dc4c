#include "package/PackageLayout.h"
#include "tests/package/SyntheticPe.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace corvantile {
namespace {

using testing::SyntheticPe;
using Bytes = std::vector<std::uint8_t>;

std::optional<PeLayout> Read(const Bytes& headers) { return ReadPeLayout(headers.data(), headers.size()); }

TEST(UpdateTableEntry, FieldsSitAtTheirByteOffsetsAndSurviveARoundTrip) {
    UpdateTableEntry entry = MakeEntry(u"a\u20AC.msp", 0x11223344);
    entry.reserved = 0xA0B0C0D0;
    const EntryBytes bytes = EncodeEntry(entry);

    const Bytes name{'a', 0, 0xAC, 0x20, '.', 0, 'm', 0, 's', 0, 'p', 0, 0, 0};
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 14), name);
    EXPECT_EQ(Bytes(bytes.begin() + 520, bytes.end()), (Bytes{0x44, 0x33, 0x22, 0x11, 0xD0, 0xC0, 0xB0, 0xA0}));

    const UpdateTableEntry decoded = DecodeEntry(bytes.data());
    EXPECT_EQ(EntryFileName(decoded), std::u16string_view(u"a\u20AC.msp"));
    EXPECT_EQ(decoded.dataLength, 0x11223344u);
    EXPECT_EQ(decoded.reserved, 0xA0B0C0D0u);
}

TEST(UpdateTableEntry, NameNeedsANulWithinItsRecord) {
    EntryBytes bytes{};
    for (std::size_t i = 0; i < kFileNameBytes; i += 2) bytes[i] = 'x';
    EXPECT_FALSE(EntryFileName(DecodeEntry(bytes.data())).has_value());

    bytes[kFileNameBytes - 2] = 0;  // the last code unit is the NUL: the longest name
    EXPECT_EQ(EntryFileName(DecodeEntry(bytes.data()))->size(), kMaxFileNameChars);

    // A name too long for a record is cut so that its NUL still fits.
    EXPECT_EQ(EntryFileName(MakeEntry(std::u16string(300, u'y'), 0))->size(), kMaxFileNameChars);
}

TEST(HeaderText, WorkedExampleFixesTheTableAndDataPositions) {
    const Bytes name = EncodeHeaderText(u"Example Server 10");
    const Bytes version = EncodeHeaderText(u"2.0.0.100");
    ASSERT_EQ(name.size(), 35u);
    EXPECT_EQ(Bytes(name.begin(), name.begin() + 3), (Bytes{34, 'E', 0}));
    ASSERT_EQ(version.size(), 19u);
    EXPECT_EQ(version[0], 18);

    const std::size_t firstEntry = name.size() + version.size() + kEntryCountBytes;
    EXPECT_EQ(firstEntry, 58u);
    EXPECT_EQ(firstEntry + kEntryBytes, 586u);
    EXPECT_EQ(firstEntry + 2 * kEntryBytes, 1114u);  // data of a two-file package

    EXPECT_EQ(DecodeHeaderText(name.data() + 1, name[0]), u"Example Server 10");
}

TEST(HeaderText, OddLengthAndOverlongText) {
    const std::uint8_t odd[] = {'A', 0, 'B', 0, 'C'};
    EXPECT_EQ(DecodeHeaderText(odd, 5), u"AB");

    const Bytes longest = EncodeHeaderText(std::u16string(200, u'v'));
    EXPECT_EQ(longest[0], 254);
    EXPECT_EQ(longest.size(), 255u);
}

TEST(PlainFileName, AcceptsAndRejects) {
    const std::vector<std::pair<FileNameProblem, std::vector<std::u16string>>> namesByProblem{
        // Superscript four is no port, and a surrogate pair is one character.
        {FileNameProblem::None,
         {u"patch.msp", u"\u00DCbersicht \u66F4\u65B0 \U0001F600.msp", u"..msp", u"console.msp", u"COM10.msp",
          u"COM\u2074.msp", u"CONIN.msp", u"LPT.msp", std::u16string(255, u'n'), u"\U0001F600\U0001F600.msp"}},
        {FileNameProblem::Empty, {u""}},
        {FileNameProblem::TooLong, {std::u16string(256, u'n'), std::u16string(259, u'n')}},
        {FileNameProblem::DirectoryPart, {u"sub\\a.msp", u"sub/a.msp", u"C:a.msp"}},
        {FileNameProblem::ReservedCharacter, {u"a*.msp", u"a?.msp", u"\"a\".msp", u"a<b>.msp", u"a|b.msp"}},
        {FileNameProblem::ControlCharacter, {u"a\tb.msp", u"a\x7F.msp"}},
        {FileNameProblem::DotName, {u".", u".."}},
        {FileNameProblem::TrailingDotOrSpace, {u"a.msp.", u"a.msp "}},
        {FileNameProblem::DeviceName,
         {u"CON", u"nul.msp", u"Aux .msp", u"com1.msp", u"LPT9", u"COM0", u"LPT0.msp", u"COM\u00B9.msp", u"com\u00B2",
          u"COM\u00B3 .msp", u"LPT\u00B9.msp", u"lpt\u00B2.x.y", u"LPT\u00B3", u"CONIN$", u"conout$.msp",
          u"CONOUT$ ..msp", u"CON..msp"}},
        // Surrogates must pair, high then low.
        {FileNameProblem::NotUtf16, {u"a\xD800.m", u"a\xDC00.m", u"a\xDC00\xD800m", u"a.m\xDBFF"}},
    };
    for (const auto& [problem, names] : namesByProblem) {
        for (const std::u16string& name : names) {
            EXPECT_EQ(CheckPlainFileName(name), problem) << ::testing::PrintToString(name);
        }
    }
}

// Keys agree for exactly the names that one Windows directory cannot hold together.
TEST(PlainFileName, CollisionsIgnoreCaseAsWindowsDoes) {
    const std::vector<std::pair<std::u16string, std::u16string>> colliding{
        {u"Patch.MSP", u"patch.msp"},
        {u"a.msp", u"a.msp"},
        {u"\u00E9-X.msp", u"\u00E9-x.msp"},
        {u"\u00E4.msp", u"\u00C4.msp"},                                                              // a umlaut
        {u"\u03C3.msp", u"\u03A3.msp"},                                                              // sigma
        {u"\u0436\u0443\u0440\u043D\u0430\u043B.msp", u"\u0416\u0423\u0420\u041D\u0410\u041B.msp"},  // Cyrillic
        {u"\uFF41.msp", u"\uFF21.msp"},                                                              // fullwidth a
    };
    const std::vector<std::pair<std::u16string, std::u16string>> distinct{
        {u"a.msp", u"b.msp"},      {u"a.msp", u"a.msp2"},      {u"a.msp", u"a.ms"},
        {u"[.msp", u"{.msp"},      {u"\u00DF.msp", u"SS.msp"},  // no expansion
        {u"\u00E4.msp", u"a.msp"},                              // no folding of accents
    };
    for (const auto& [a, b] : colliding) {
        EXPECT_EQ(FileNameCollisionKey(a), FileNameCollisionKey(b)) << ::testing::PrintToString(a);
    }
    for (const auto& [a, b] : distinct) {
        EXPECT_NE(FileNameCollisionKey(a), FileNameCollisionKey(b)) << ::testing::PrintToString(a);
    }
}

TEST(ReadPeLayout, ReadsTheSecurityDirectoryOfPe32AndPe32Plus) {
    for (const bool pe32Plus : {false, true}) {
        SyntheticPe pe;
        pe.pe32Plus = pe32Plus;
        pe.certificateOffset = 0x1234;
        pe.certificateBytes = 0x88;
        const std::optional<PeLayout> layout = Read(pe.Headers());
        ASSERT_TRUE(layout.has_value()) << "PE32+: " << pe32Plus;
        EXPECT_EQ(layout->pe32Plus, pe32Plus);
        EXPECT_EQ(layout->certificateOffset, 0x1234u);
        EXPECT_EQ(layout->certificateBytes, 0x88u);
        EXPECT_EQ(layout->imageEnd, 0x400u);
    }
}

TEST(ReadPeLayout, UnsignedWhenTheDirectoryIsMissingOrEmpty) {
    SyntheticPe fewDirectories;
    fewDirectories.directoryCount = 4;
    fewDirectories.certificateOffset = 0x1000;
    fewDirectories.certificateBytes = 0x10;
    SyntheticPe shortOptionalHeader = fewDirectories;
    shortOptionalHeader.directoryCount = 16;
    shortOptionalHeader.optionalHeaderBytes = 112 + 4 * 8;  // ends before the security directory
    SyntheticPe emptyDirectory = shortOptionalHeader;
    emptyDirectory.optionalHeaderBytes = 0;
    emptyDirectory.certificateBytes = 0;

    for (const SyntheticPe& pe : {fewDirectories, shortOptionalHeader, emptyDirectory}) {
        const std::optional<PeLayout> layout = Read(pe.Headers());
        ASSERT_TRUE(layout.has_value());
        EXPECT_EQ(layout->certificateOffset, 0u);
        EXPECT_EQ(PackageEnd(*layout, 0x5000), 0x5000u);
    }
}

TEST(ReadPeLayout, SectionTableFollowsTheDeclaredOptionalHeaderSize) {
    SyntheticPe pe;
    pe.optionalHeaderBytes = 240 + 40;  // one unused section header's worth of extra bytes, left zero
    pe.sections = {{0x300, 0x400}};
    EXPECT_EQ(Read(pe.Headers())->imageEnd, 0x700u);
}

TEST(ReadPeLayout, ImageEndsWithTheSectionOfLargestRawPointerFirstOfEquals) {
    SyntheticPe pe;
    pe.sections = {{0x100, 0x400}, {0x200, 0x600}, {0x600, 0x600}, {0x5000, 0x400}, {0, 0}};
    EXPECT_EQ(Read(pe.Headers())->imageEnd, 0x800u);
}

TEST(ReadPeLayout, RejectsWhatIsNoPeImageOrTruncated) {
    const SyntheticPe pe;
    const Bytes valid = pe.Headers();
    ASSERT_TRUE(Read(valid).has_value());
    for (std::size_t size = 0; size < valid.size(); ++size) {
        EXPECT_FALSE(ReadPeLayout(valid.data(), size).has_value()) << "cut to " << size << " bytes";
    }
    EXPECT_FALSE(ReadPeLayout(nullptr, 4096).has_value());

    const auto corrupted = [&](std::size_t offset, std::uint8_t value) {
        Bytes bytes = valid;
        bytes[offset] = value;
        return bytes;
    };
    EXPECT_FALSE(Read(corrupted(0, 'N')).has_value());                           // MZ
    EXPECT_FALSE(Read(corrupted(pe.peHeaderOffset + 1, 'X')).has_value());       // PE\0\0
    EXPECT_FALSE(Read(corrupted(pe.peHeaderOffset + 6, 0)).has_value());         // no sections
    EXPECT_FALSE(Read(corrupted(pe.OptionalHeaderOffset(), 0x0C)).has_value());  // magic
    EXPECT_FALSE(Read(corrupted(60 + 3, 0x7F)).has_value());                     // e_lfanew far outside

    SyntheticPe wrapping;
    wrapping.sections = {{0x200, 0xFFFFFF00}};  // its end lies beyond 4 GiB
    EXPECT_FALSE(Read(wrapping.Headers()).has_value());
}

TEST(PackageEnd, EndsAtTheCertificateTableOfASignedFile) {
    PeLayout layout;
    layout.imageEnd = 0x400;
    EXPECT_EQ(PackageEnd(layout, 0x900), 0x900u);
    layout.certificateOffset = 0x800;
    layout.certificateBytes = 0x100;
    EXPECT_EQ(PackageEnd(layout, 0x900), 0x800u);
    EXPECT_EQ(PackageEnd(layout, 0x600), 0x600u);  // a table said to lie beyond the file ends nothing early
}

TEST(PackageLayout, ExtractedPathFitsWithinMaxPath) {
    // The working directory of the longest temporary path allowed for: 100 characters and a GUID.
    constexpr std::size_t kWorkingDirectoryChars = kMaxTemporaryPathChars + kGuidChars;
    struct Case {
        std::size_t directoryChars;
        std::size_t fileNameChars;
        bool fits;
    };
    for (const Case& c : {Case{kWorkingDirectoryChars, kMaxUpdateFileNameChars, true},
                          Case{kWorkingDirectoryChars, kMaxUpdateFileNameChars + 1, false}, Case{258, 0, true},
                          Case{259, 0, false}, Case{0, SIZE_MAX, false}}) {
        EXPECT_EQ(ExtractedPathFits(c.directoryChars, c.fileNameChars), c.fits)
            << c.directoryChars << " + " << c.fileNameChars;
    }
}

}  // namespace
}  // namespace corvantile
