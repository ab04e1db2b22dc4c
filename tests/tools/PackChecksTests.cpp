// The tool's judgements that need no file: what a summary makes of a patch, what a set of patches may
// hold, and how texts from a package are shown.
#include "tools/DisplayText.h"
#include "tools/PatchSummary.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace corvantile::pack {
namespace {

constexpr char16_t kCodeA[] = u"{02CF0831-4304-4986-82ED-28FCD2DA06E3}";
constexpr char16_t kCodeB[] = u"{F0E679E4-DB44-4176-AC30-03FE4B0FE44D}";

TEST(PatchSummaryTest, StorageKindComesFromTheWholeClassId) {
    const ClassId patch{0x86, 0x10, 0x0C, 0, 0, 0, 0, 0, 0xC0, 0, 0, 0, 0, 0, 0, 0x46};
    EXPECT_EQ(StorageKindOf(patch), StorageKind::Patch);
    ClassId database = patch;
    database[0] = 0x84;
    EXPECT_EQ(StorageKindOf(database), StorageKind::ProductDatabase);
    ClassId transform = patch;
    transform[0] = 0x82;
    EXPECT_EQ(StorageKindOf(transform), StorageKind::Transform);
    for (std::size_t i = 0; i < patch.size(); ++i) {
        ClassId other = patch;
        other[i] ^= 0x01;
        EXPECT_EQ(StorageKindOf(other), StorageKind::Other) << "byte " << i;
    }
}

TEST(PatchSummaryTest, SummarizePatch) {
    const std::u16string a = u"{4C9B399E-2689-4D3F-81C7-70F0CE30C060}";
    const std::u16string b = u"{51F8566A-0103-4264-8BE2-9E3205FD05FD}";
    struct Case {
        StorageKind kind;
        std::optional<std::u16string> targets;
        std::optional<std::u16string> revisionNumber;
        std::vector<std::u16string> expectedTargets;
        std::u16string expectedCode;
        std::string expectedProblem;
    };
    const std::u16string code = kCodeA;
    const std::string noTargets = "a patch package whose list of target products is empty";
    const std::string noCode = "does not begin with a patch code";
    const std::vector<Case> cases{
        {StorageKind::Patch, a, code, {a}, code, ""},
        {StorageKind::Patch, a + u";" + b, code + kCodeB, {a, b}, code, ""},  // followed by an obsoleted code
        // Split as the updater splits: empty pieces are product codes too, a trailing ";" ends the list.
        {StorageKind::Patch, u";" + a + u";;" + b + u";", code, {u"", a, u"", b}, code, ""},
        {StorageKind::Patch, u"", code, {}, code, noTargets},
        {StorageKind::Patch, u";", code, {u""}, code, noTargets},
        {StorageKind::Patch, std::nullopt, code, {}, code, noTargets},
        {StorageKind::Patch, a, std::nullopt, {a}, u"", "a patch package whose revision number does not begin with"},
        {StorageKind::Patch, a, code.substr(0, 37), {a}, u"", noCode},
        {StorageKind::Patch, a, u" " + code, {a}, u"", noCode},
        {StorageKind::Patch, a, u"{02CF0831-4304-4986-82ED_28FCD2DA06E3}", {a}, u"", noCode},
        {StorageKind::Patch, a, u"{02CF0831-4304-4986-82ED-28FCD2DA06EG}", {a}, u"", noCode},
        {StorageKind::ProductDatabase, u"x64;1033", code, {}, u"", "not a patch package (a product database)"},
        {StorageKind::Transform, a, code, {}, u"", "not a patch package (a transform)"},
        {StorageKind::Other, a, code, {}, u"", "not a patch package (a compound file of another kind)"},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        const Case& c = cases[i];
        const PatchSummary summary = SummarizePatch({c.kind, c.targets, c.revisionNumber});
        EXPECT_EQ(summary.patch, c.kind == StorageKind::Patch);
        EXPECT_EQ(summary.targetProductCodes, c.expectedTargets);
        EXPECT_EQ(summary.patchCode, c.expectedCode);
        // A problem exactly when one is expected, and then the expected one.
        EXPECT_EQ(summary.problem.empty(), c.expectedProblem.empty()) << summary.problem;
        EXPECT_NE(summary.problem.find(c.expectedProblem), std::string::npos) << summary.problem;
    }
}

NamedPatch Patch(const char* name, std::u16string code, std::vector<std::u16string> targets) {
    PatchSummary summary;
    summary.patch = true;
    summary.patchCode = std::move(code);
    summary.targetProductCodes = std::move(targets);
    return {name, summary};
}

TEST(PatchSummaryTest, PatchSetRefusesSharedCodesAndWarnsOfSeparateGroups) {
    struct Case {
        std::vector<NamedPatch> patches;
        std::string error;
        std::vector<std::string> warnings;
    };
    std::u16string lowerB = kCodeB;
    for (char16_t& c : lowerB) c = (c >= u'A' && c <= u'F') ? static_cast<char16_t>(c + 32) : c;
    const std::vector<Case> cases{
        {{Patch("a", kCodeA, {u"P"}), Patch("b", kCodeB, {u"P", u"Q"})}, "", {}},
        {{Patch("a", kCodeA, {u"P"}), Patch("b", kCodeA, {u"P"})},
         "b: has the patch code " + std::string(kCodeA, kCodeA + 38) +
             " of a; the Installer would take them for one patch",
         {}},
        {{Patch("a", kCodeB, {u"P"}), Patch("b", kCodeA, {u"Q"}), Patch("c", lowerB, {u"P"})},
         "c: has the patch code",
         {}},
        {{Patch("a", kCodeA, {u"P"}), Patch("b", kCodeB, {u"Q"})},
         "",
         {"the update files fall into 2 groups that share no target product: a | b"}},
        // Product codes are compared as the Installer compares them: exactly.
        {{Patch("a", kCodeA, {u"{ab}"}), Patch("b", kCodeB, {u"{AB}"})},
         "",
         {"the update files fall into 2 groups that share no target product: a | b"}},
        // An empty piece of two target lists names no product, so it links nothing.
        {{Patch("a", kCodeA, {u"", u"P"}), Patch("b", kCodeB, {u"Q", u""})},
         "",
         {"the update files fall into 2 groups that share no target product: a | b"}},
        // c links a and b; d stands alone; groups are listed in the order of their first patch.
        {{Patch("d", u"{D}", {u"S"}), Patch("a", kCodeA, {u"P"}), Patch("b", kCodeB, {u"Q"}),
          Patch("c", u"{C}", {u"Q", u"P"})},
         "",
         {"the update files fall into 2 groups that share no target product: d | a, b, c"}},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        std::vector<std::string> warnings;
        std::string error;
        const bool accepted = CheckPatchSet(cases[i].patches, warnings, error);
        EXPECT_EQ(accepted, cases[i].error.empty());
        if (accepted) {
            EXPECT_EQ(warnings, cases[i].warnings);
        } else {
            EXPECT_EQ(error.rfind(cases[i].error, 0), 0u) << error;
        }
    }
}

TEST(DisplayTextTest, EscapesWhatATerminalWouldNotShowAsItIs) {
    const std::vector<std::pair<std::u16string, std::string>> cases{
        {u"Example Server 10", "Example Server 10"},
        {u"S\u00FCd \u66F4\u65B0 \U0001F600",
         "S\xC3\xBC"
         "d \xE6\x9B\xB4\xE6\x96\xB0 \xF0\x9F\x98\x80"},
        {u"a\nb\rc\td", R"(a\u{000A}b\u{000D}c\u{0009}d)"},
        {u"\x1B[2J\u007F", R"(\u{001B}[2J\u{007F})"},
        {u"\u0085\u009F\u00A0", "\\u{0085}\\u{009F}\xC2\xA0"},  // C1 controls; a no-break space shows
        {u"a\u202Eb\u2066c\u200Bd\uFEFF", R"(a\u{202E}b\u{2066}c\u{200B}d\u{FEFF})"},
        {u"\u2028\u00AD\U000E0041", R"(\u{2028}\u{00AD}\u{E0041})"},
        {std::u16string(u"x\xD800y\xDC00", 4), R"(x\u{D800}y\u{DC00})"},  // lone surrogates
        {u"C:\\u{000A}", R"(C:\\u{000A})"},  // a backslash is escaped, so no text prints as another
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(DisplayText(text), expected);
}

TEST(DisplayTextTest, SpoofingNamesAndControlCharacters) {
    for (const std::u16string name : {u"PatchX64.msp", u"Patch x64.msp", u"\u00DCbersicht-\U0001F600.msp"}) {
        EXPECT_EQ(DescribeSpoofingName(name), nullptr);
    }
    for (const std::u16string& name :
         std::vector<std::u16string>{u"a\u202Egpj.msp", u"\uFEFFa.msp", u"a\u0085.msp", u"a\u200Db.msp", u"a\u2067.msp",
                                     u"a\u061C.msp", std::u16string(u"a\xDC00.msp", 6)}) {
        EXPECT_STREQ(DescribeSpoofingName(name),
                     "the name holds a control or invisible formatting character (such as U+202E or U+FEFF)");
    }
    for (const std::u16string name : {u" a.msp", u"a.msp ", u"\u00A0a.msp", u"a.msp\u3000", u"\u2002a.msp"}) {
        EXPECT_STREQ(DescribeSpoofingName(name), "the name begins or ends with a space");
    }
    EXPECT_FALSE(HasControlCharacter(u"Example \u202E Server \u00A0 10"));
    for (const std::u16string text : {u"a\nb", u"\x01", u"a\u007F", u"\u0080", u"x\u009F"}) {
        EXPECT_TRUE(HasControlCharacter(text));
    }
}

}  // namespace
}  // namespace corvantile::pack
