// The engine's portable rules: splitting templates, ordering product codes, choosing the patch order and
// sorting Installer results.
#include "engine/InstallerResult.h"
#include "engine/PatchCatalogue.h"
#include "engine/PatchOrder.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace corvantile {
namespace {

using Pieces = std::vector<std::wstring>;

TEST(SplitOnSemicolon, PiecesAreNeverTrimmedOrDropped) {
    const std::vector<std::pair<std::wstring, Pieces>> cases = {
        {L"", {}},
        {L"X", {L"X"}},
        {L";X", {L"", L"X"}},
        {L"X;;Y", {L"X", L"", L"Y"}},
        {L"X;", {L"X"}},
        {L"X;;", {L"X", L""}},
        {L";", {L""}},
        {L";;", {L"", L""}},
        {L"{A}; {B}", {L"{A}", L" {B}"}},
        {std::wstring(L"{A}\0;{B}", 8), {std::wstring(L"{A}\0", 4), L"{B}"}},
    };
    for (const auto& [text, expected] : cases) {
        Pieces pieces{L"before"};
        SplitOnSemicolon(text, pieces);
        ASSERT_FALSE(pieces.empty());
        EXPECT_EQ(L"before", pieces[0]) << "pieces are appended";
        EXPECT_EQ(expected, Pieces(pieces.begin() + 1, pieces.end()));
    }
}

TEST(PatchCatalogue, KeysFollowUnsignedCodeUnitsCaseSensitivelyPrefixFirst) {
    PatchCatalogue catalogue;
    AddPatchTargets(catalogue, L"{a};{A}x;{A};{1}", 0);
    // Units above 0x7FFF sort after ASCII, as unsigned 16-bit numbers do.
    AddPatchTargets(catalogue, std::wstring(L"{\xFF21};{\x00E4}; {B};"), 1);
    Pieces keys;
    for (const auto& entry : catalogue) keys.push_back(entry.first);
    EXPECT_EQ((Pieces{L" {B}", L"{1}", L"{A}", L"{A}x", L"{a}", L"{\x00E4}", L"{\xFF21}"}), keys);
}

TEST(PatchCatalogue, EveryNamingAddsTheIndexInTableOrder) {
    PatchCatalogue catalogue;
    AddPatchTargets(catalogue, L"{B};{A}", 0);
    AddPatchTargets(catalogue, L"{A};{A}", 1);
    AddPatchTargets(catalogue, L"", 2);
    AddPatchTargets(catalogue, L";{A}", 3);
    EXPECT_EQ((PatchIndexList{0, 1, 1, 3}), catalogue.at(L"{A}"));
    EXPECT_EQ((PatchIndexList{0}), catalogue.at(L"{B}"));
    EXPECT_EQ((PatchIndexList{3}), catalogue.at(L""));
    EXPECT_EQ(3u, catalogue.size());
}

TEST(ApplicationOrder, OrderValuesFirstThenArrayOrder) {
    struct Case {
        std::vector<SequencedPatch> patches;
        std::vector<std::size_t> expected;
    };
    const std::vector<Case> cases = {
        {{}, {}},
        {{{0, 0}, {1, 0}, {2, 0}}, {0, 1, 2}},
        {{{2, 0}, {1, 0}, {0, 0}}, {2, 1, 0}},             // reverse of table order
        {{{3, 0}, {0, 0}, {3, 0}, {1, 0}}, {1, 3, 0, 2}},  // a gap and a tie
        {{{-1, 0}, {0, 1642}, {-1, 1642}}, {}},            // superseded and inapplicable only
        {{{1, 0}, {0, 1642}, {-1, 0}, {5, 0}}, {0, 3}},    // another status at 0, superseded
        {{{0, 0}, {0x7FFFFFFF, 0}, {-2, 0}}, {0, 1}},      // huge order; a negative one never applies
        {{{0, 1}, {0, 0}, {0, 0x80000000u}}, {1}},
    };
    for (const Case& c : cases) EXPECT_EQ(c.expected, ApplicationOrder(c.patches));
}

TEST(InstallerResult, OnlyZeroAndTheTwoRestartCodesAreSuccesses) {
    EXPECT_EQ(InstallerOutcome::Succeeded, ClassifyInstallerResult(0));
    EXPECT_EQ(InstallerOutcome::SucceededRebootRequired, ClassifyInstallerResult(3010));
    EXPECT_EQ(InstallerOutcome::SucceededRebootInitiated, ClassifyInstallerResult(1641));
    for (const std::uint32_t failure : {1u, 234u, 1602u, 1603u, 1618u, 1638u, 1642u, 3011u, 0xFFFFFFFFu}) {
        EXPECT_EQ(InstallerOutcome::Failed, ClassifyInstallerResult(failure)) << failure;
    }
}

TEST(UpdateExitCode, FollowsTheInstallersConvention) {
    struct Case {
        int result;
        UpdateOutcome outcome;
        std::uint32_t exitCode;
    };
    const Case cases[] = {
        {0, {0, RestartOutcome::NotNeeded}, 0},
        {0, {0, RestartOutcome::Pending}, 3010},
        {0, {0, RestartOutcome::Initiated}, 1641},
        {1, {0, RestartOutcome::NotNeeded}, 1},        // the updater's own failure
        {1, {1603, RestartOutcome::NotNeeded}, 1603},  // the Installer's
        {1, {1618, RestartOutcome::NotNeeded}, 1618},
        {1, {1641, RestartOutcome::NotNeeded}, 1641},  // a patch that restarts the machine stops the run
        {1, {0, RestartOutcome::Pending}, 1},          // a failed run has no restart to report
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.exitCode, UpdateExitCode(c.result, c.outcome)) << c.result << " " << c.outcome.installerResult;
    }
}

}  // namespace
}  // namespace corvantile
