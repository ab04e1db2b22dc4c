// The tool's judgements that need no file: what a summary makes of a patch and what a set of patches may
// hold.
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
    const std::vector<Case> cases{
        {StorageKind::Patch, a, code, {a}, code, ""},
        {StorageKind::Patch, a + u";" + b, code + kCodeB, {a, b}, code, ""},  // followed by an obsoleted code
        {StorageKind::Patch, u";" + a + u";;" + b + u";", code, {a, b}, code, ""},
        {StorageKind::Patch, u"", code, {}, code, "a patch package whose list of target products is empty"},
        {StorageKind::Patch, u";", code, {}, code, "a patch package whose list of target products is empty"},
        {StorageKind::Patch, std::nullopt, code, {}, code, "a patch package whose list of target products is empty"},
        {StorageKind::Patch, a, std::nullopt, {a}, u"", "a patch package whose revision number does not begin with"},
        {StorageKind::Patch, a, code.substr(0, 37), {a}, u"", "does not begin with a patch code"},
        {StorageKind::Patch, a, u" " + code, {a}, u"", "does not begin with a patch code"},
        {StorageKind::Patch, a, u"{02CF0831-4304-4986-82ED_28FCD2DA06E3}", {a}, u"", "does not begin with a patch code"},
        {StorageKind::Patch, a, u"{02CF0831-4304-4986-82ED-28FCD2DA06EG}", {a}, u"", "does not begin with a patch code"},
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
        if (c.expectedProblem.empty()) {
            EXPECT_EQ(summary.problem, "");
        } else {
            EXPECT_NE(summary.problem.find(c.expectedProblem), std::string::npos) << summary.problem;
        }
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
        {{Patch("a", kCodeA, {u"P"}), Patch("b", kCodeA, {u"P"})}, "b: has the patch code " +
             std::string(kCodeA, kCodeA + 38) + " of a; the Installer would take them for one patch", {}},
        {{Patch("a", kCodeB, {u"P"}), Patch("b", kCodeA, {u"Q"}), Patch("c", lowerB, {u"P"})}, "c: has the patch code",
         {}},
        {{Patch("a", kCodeA, {u"P"}), Patch("b", kCodeB, {u"Q"})}, "",
         {"the update files fall into 2 groups that share no target product: a | b"}},
        // Product codes are compared as the Installer compares them: exactly.
        {{Patch("a", kCodeA, {u"{ab}"}), Patch("b", kCodeB, {u"{AB}"})}, "",
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

}  // namespace
}  // namespace corvantile::pack
