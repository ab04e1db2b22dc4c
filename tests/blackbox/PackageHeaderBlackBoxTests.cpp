// Finding the package behind the image and reading its header: updaters without a package, damaged
// headers, unusual text lengths, and signed updaters whose certificate table follows the package.
#include "tests/blackbox/UpdaterTest.h"

namespace corvantile::blackbox {
namespace {

using BlackBoxPackageHeader = UpdaterTest;

TEST_F(BlackBoxPackageHeader, DamagedHeaderIsLoggedWithoutABox) {
    const Bytes header = HeaderBytes();
    const std::size_t nameEnd = 1 + 2 * kProductName.size();
    struct Case {
        const char* what;
        std::size_t packageBytes;
        std::wstring message;
    };
    const std::vector<Case> cases{
        {"only the name length", 1, kProductNameNotRead},
        {"cut inside the name", 11, kProductNameNotRead},
        {"cut right after the name", nameEnd, kProductVersionNotRead},
        {"cut after the version length", nameEnd + 1, kProductVersionNotRead},
        {"cut inside the version", nameEnd + 6, kProductVersionNotRead},
    };

    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& damaged = cases[i];
        SCOPED_TRACE(damaged.what);
        const std::wstring suffix = std::to_wstring(i);
        const std::wstring updater = CreateUpdater(Prefix(header, damaged.packageBytes), L"app" + suffix);
        ASSERT_FALSE(updater.empty());
        ASSERT_TRUE(MakeWorkDirectories({L"logs" + suffix}));

        const ProcessRun run = RunUpdater(updater, {L"-x", InWork(L"out" + suffix), L"-l", L"logs" + suffix});

        ASSERT_NO_FATAL_FAILURE(ExpectEnded(run, 1));
        EXPECT_TRUE(LogHolds(InWork(L"logs" + suffix), {damaged.message}));
        EXPECT_FALSE(DirectoryExists(InWork(L"out" + suffix))) << "the extraction must not start";
    }
}

TEST_F(BlackBoxPackageHeader, UpdaterWithoutPackageShowsThePackageError) {
    const std::wstring updater = CreateUpdater({});
    ASSERT_FALSE(updater.empty());
    ASSERT_TRUE(MakeWorkDirectories({L"logs"}));

    const ProcessRun extractRun = RunUpdater(updater, {L"-x", InWork(L"out"), L"-l", L"logs"});
    ASSERT_NO_FATAL_FAILURE(ExpectEnded(extractRun, 1, {{kCaption, kPackageErrorText}}));
    EXPECT_TRUE(LogHolds(InWork(L"logs"), {})) << "the log is created, and nothing is written to it";
    EXPECT_FALSE(DirectoryExists(InWork(L"out")));

    const ProcessRun interactiveRun = RunUpdater(updater, {});
    ASSERT_NO_FATAL_FAILURE(ExpectEnded(interactiveRun, 1, {{kCaption, kPackageErrorText}}));
}

TEST_F(BlackBoxPackageHeader, EveryLengthByteIsHonoured) {
    // An odd length leaves its last byte out of the text but not out of the package: a reader that skips
    // the wrong number of bytes finds no update table behind the header.
    struct Case {
        std::uint8_t nameBytes;
        std::uint8_t versionBytes;
    };
    const std::vector<Case> cases{{0, 18}, {35, 18}, {255, 255}, {34, 0}, {40, 35}};

    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("name bytes " + std::to_string(cases[i].nameBytes) + ", version bytes " +
                     std::to_string(cases[i].versionBytes));
        const std::wstring suffix = std::to_wstring(i);
        const std::vector<UpdateFile> files{{L"update1.msp", PatchLikeData(700, 2)}};
        // The fill byte 0x41 would make a plausible length byte if the reader stopped one byte short.
        const Bytes package = Concat({RawHeaderText(cases[i].nameBytes, 0x41),
                                      RawHeaderText(cases[i].versionBytes, 0x41), TableBytes(files), DataBytes(files)});
        const std::wstring updater = CreateUpdater(package, L"app" + suffix);
        ASSERT_FALSE(updater.empty());

        const ProcessRun run = RunUpdater(updater, {L"-x", InWork(L"out" + suffix)});

        ASSERT_NO_FATAL_FAILURE(ExpectEnded(run, 0));
        EXPECT_TRUE(FileHolds(InWork(L"out" + suffix + L"\\update1.msp"), files[0].data));
    }
}

class BlackBoxSignedUpdater : public UpdaterTest {
protected:
    // Makes app\CorvantileUpdater.exe with the package and a certificate table behind it.
    [[nodiscard]] std::optional<SignedUpdater> CreateSignedUpdater(const Bytes& package) {
        if (!MakeDirectory(InRoot(L"app"))) return std::nullopt;
        return MakeSignedLookingUpdater(updater_, package);
    }

    // Runs it with "-x output -l logs".
    [[nodiscard]] ProcessRun ExtractWithLog(const std::wstring& output) const {
        return RunUpdater(updater_, {L"-x", output, L"-l", L"logs"});
    }

    const std::wstring updater_ = JoinPath(InRoot(L"app"), kUpdaterFileName);
};

TEST_F(BlackBoxSignedUpdater, ExtractsThePackageBeforeTheCertificateTable) {
    const std::vector<UpdateFile> files{{L"first.msp", PatchLikeData(40'001, 3)},
                                        {L"second.msp", PatchLikeData(77, 4)}};
    ASSERT_TRUE(CreateSignedUpdater(BuildPackage(files)).has_value());
    ASSERT_TRUE(MakeWorkDirectories({L"out", L"logs"}));

    const ProcessRun run = ExtractWithLog(L"out");

    ASSERT_NO_FATAL_FAILURE(ExpectEnded(run, 0));
    EXPECT_TRUE(FileHolds(InWork(L"out\\first.msp"), files[0].data));
    EXPECT_TRUE(FileHolds(InWork(L"out\\second.msp"), files[1].data));
    EXPECT_TRUE(HoldsTheExtractionLog(InWork(L"logs")));
}

TEST_F(BlackBoxSignedUpdater, StopsReadingAtTheCertificateTable) {
    // The last file is cut short: its missing bytes must not be taken from the certificate table.
    const std::vector<UpdateFile> files{{L"cut.msp", PatchLikeData(5'000, 5)}};
    const std::size_t presentDataBytes = 3'000;
    const Bytes complete = BuildPackage(files);
    const Bytes cut = Prefix(complete, complete.size() - (files[0].data.size() - presentDataBytes));
    const std::optional<SignedUpdater> signedUpdater = CreateSignedUpdater(cut);
    ASSERT_TRUE(signedUpdater.has_value());
    ASSERT_TRUE(MakeWorkDirectories({L"out", L"logs"}));

    const ProcessRun run = ExtractWithLog(L"out");

    ASSERT_NO_FATAL_FAILURE(ExpectEnded(run, 1));
    EXPECT_TRUE(LogHolds(InWork(L"logs"), {kExtracting, kUpdateCutShort}));
    // The package ends where the certificate table begins, so the file is cut short, and a cut-short file goes.
    EXPECT_FALSE(FileExists(InWork(L"out\\cut.msp")));
}

TEST_F(BlackBoxSignedUpdater, CertificateTableRightBehindTheImageIsNoPackage) {
    const std::optional<SignedUpdater> signedUpdater = CreateSignedUpdater({});
    ASSERT_TRUE(signedUpdater.has_value());
    ASSERT_EQ(signedUpdater->paddingBytes, 0u) << "the image ends on a file-alignment boundary";
    ASSERT_TRUE(MakeWorkDirectories({L"logs"}));

    const ProcessRun run = ExtractWithLog(InWork(L"out"));

    ASSERT_NO_FATAL_FAILURE(ExpectEnded(run, 1, {{kCaption, kPackageErrorText}}));
    EXPECT_TRUE(LogHolds(InWork(L"logs"), {}));
    EXPECT_FALSE(DirectoryExists(InWork(L"out")));
}

}  // namespace
}  // namespace corvantile::blackbox
