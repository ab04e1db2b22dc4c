// Extract mode end to end: the update files that the real updater writes with -x, and what it does with
// hostile names, damaged tables, cut data and directories it cannot use.
#include "tests/blackbox/UpdaterTest.h"

#include <algorithm>

namespace corvantile::blackbox {
namespace {

class BlackBoxExtraction : public UpdaterTest {
protected:
    void SetUp() override {
        UpdaterTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(MakeWorkDirectories({L"logs"}));
    }

    // Runs "-x outputDirectory -l logs" and checks what every extract run must show: it ended by itself,
    // with this exit code, without a box, and with these log lines.
    void RunExtraction(const std::wstring& updater, const std::wstring& outputDirectory, DWORD exitCode,
                       const Lines& logMessages) {
        ASSERT_FALSE(updater.empty());
        const ProcessRun run = RunUpdater(updater, {L"-x", outputDirectory, L"-l", L"logs"});
        ASSERT_NO_FATAL_FAILURE(ExpectEnded(run, exitCode));
        EXPECT_TRUE(LogHolds(InWork(L"logs"), logMessages));
        ::DeleteFileW(InWork(L"logs\\CorvantileUpdater.log").c_str());
    }
};

TEST_F(BlackBoxExtraction, FilesOfEverySizeArriveByteForByte) {
    // Sizes around the 32 KB copy buffer, an empty file and one of several hundred KB, in one package.
    const std::vector<UpdateFile> files{
        {L"empty.msp", {}},
        {L"below.msp", PatchLikeData(32'767, 11)},
        {L"buffer.msp", PatchLikeData(32'768, 12)},
        {L"above.msp", PatchLikeData(32'769, 13)},
        {L"two-buffers.msp", PatchLikeData(65'536, 14)},
        {L"large update with spaces.msp", PatchLikeData(412'345, 15)},
    };
    const std::wstring output = InRoot(L"extracted\\update");  // two levels to create

    RunExtraction(CreateUpdater(BuildPackage(files)), output, 0, {kExtracting});

    Lines expectedNames;
    for (const UpdateFile& file : files) {
        EXPECT_TRUE(FileHolds(JoinPath(output, file.name), file.data));
        expectedNames.push_back(file.name);
    }
    std::sort(expectedNames.begin(), expectedNames.end());
    EXPECT_EQ(ListTree(output), expectedNames);
}

TEST_F(BlackBoxExtraction, EmptyTableStillCreatesTheDirectory) {
    const std::wstring output = InRoot(L"nothing\\here");

    RunExtraction(CreateUpdater(BuildPackage({})), output, 0, {kExtracting});

    EXPECT_TRUE(DirectoryExists(output));
    EXPECT_TRUE(ListTree(output).empty());
}

TEST_F(BlackBoxExtraction, HostileFileNamesWriteNothing) {
    // Each would be written somewhere if the name were used as it stands: beside the output directory, in
    // its existing subdirectory, as a stream or on a device.
    const std::vector<std::wstring> names{
        L"..\\evil.msp",  L"sub/x.msp", L"sub\\x.msp",  L"C:x.msp",     L"NUL",
        L"con.txt",       L"..",        L".",           L"COM0",        L"LPT0.msp",
        L"COM\u00B9.msp", L"LPT\u00B3", L"CONOUT$.msp", L"a\xD800.msp", std::wstring(256, L'n')};
    for (std::size_t i = 0; i < names.size(); ++i) {
        SCOPED_TRACE(Narrow(names[i]));
        const std::wstring outputName = L"out" + std::to_wstring(i);
        const std::wstring output = InWork(outputName);
        ASSERT_TRUE(MakeWorkDirectories({outputName, outputName + L"\\sub"}));
        // A good file first: it must not be written either.
        const std::wstring updater =
            CreateUpdater(BuildPackage({{L"good.msp", PatchLikeData(50, 19)}, {names[i], PatchLikeData(100, 20)}}),
                          L"app" + std::to_wstring(i));
        const Lines before = Tree();

        RunExtraction(updater, output, 1, {kExtracting, kFileNotCreated});

        EXPECT_EQ(Tree(), before) << "nothing is written anywhere";
    }
}

TEST_F(BlackBoxExtraction, DamagedTableCreatesNoDirectory) {
    const std::vector<UpdateFile> files{{L"first.msp", PatchLikeData(300, 21)},
                                        {L"second.msp", PatchLikeData(300, 22)}};
    const Bytes header = HeaderBytes();
    const Bytes table = TableBytes(files);
    UpdateTableEntry unterminated = MakeEntry(u"", 300);
    unterminated.fileName.fill(u'a');
    struct Case {
        const char* what;
        Bytes package;
        std::wstring message;
    };
    const std::vector<Case> cases{
        {"no entry count", header, kTableNotRead},
        {"entry count cut short", Concat({header, Prefix(table, 2)}), kTableNotRead},
        {"no first entry", Concat({header, Prefix(table, kEntryCountBytes)}), kEntryNotRead},
        {"second entry cut short", Concat({header, Prefix(table, kEntryCountBytes + kEntryBytes + 100)}),
         kEntryNotRead},
        {"file name without terminator",
         Concat({header, Prefix(table, kEntryCountBytes), RecordBytes(unterminated), PatchLikeData(300, 23)}),
         kEntryNotRead},
    };

    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].what);
        // Absolute and two levels deep: a directory the extraction would otherwise create.
        const std::wstring output = InRoot(L"out" + std::to_wstring(i) + L"\\files");

        RunExtraction(CreateUpdater(cases[i].package, L"app" + std::to_wstring(i)), output, 1,
                      {kExtracting, cases[i].message});

        EXPECT_FALSE(DirectoryExists(InRoot(L"out" + std::to_wstring(i))));
    }
}

TEST_F(BlackBoxExtraction, DataCutShortLeavesNoPartialFile) {
    const std::vector<UpdateFile> files{{L"whole.msp", PatchLikeData(1'000, 31)},
                                        {L"cut.msp", PatchLikeData(50'000, 32)}};
    const std::size_t presentBytes = 40'000;
    const Bytes complete = BuildPackage(files);
    ASSERT_TRUE(MakeWorkDirectories({L"out"}));

    RunExtraction(CreateUpdater(Prefix(complete, complete.size() - (50'000 - presentBytes))), L"out", 1,
                  {kExtracting, kUpdateCutShort});

    EXPECT_TRUE(FileHolds(InWork(L"out\\whole.msp"), files[0].data));
    EXPECT_FALSE(FileExists(InWork(L"out\\cut.msp"))) << "a truncated patch must not look like a complete one";
}

TEST_F(BlackBoxExtraction, ExistingFileIsLeftUntouched) {
    const std::vector<UpdateFile> files{{L"new.msp", PatchLikeData(2'000, 41)},
                                        {L"taken.msp", PatchLikeData(2'000, 42)},
                                        {L"later.msp", PatchLikeData(2'000, 43)}};
    ASSERT_TRUE(MakeWorkDirectories({L"out"}));
    const Bytes existing{'k', 'e', 'e', 'p'};
    ASSERT_TRUE(WriteFileBytes(InWork(L"out\\taken.msp"), existing));

    RunExtraction(CreateUpdater(BuildPackage(files)), L"out", 1, {kExtracting, kFileNotCreated});

    EXPECT_TRUE(FileHolds(InWork(L"out\\new.msp"), files[0].data)) << "files before the failure stay";
    EXPECT_TRUE(FileHolds(InWork(L"out\\taken.msp"), existing));
    EXPECT_FALSE(FileExists(InWork(L"out\\later.msp"))) << "the extraction ends at the failure";
}

TEST_F(BlackBoxExtraction, NamesOfOneFileTwiceWriteNothing) {
    const std::vector<std::pair<std::wstring, std::wstring>> pairs{{L"twice.msp", L"twice.msp"},
                                                                   {L"Twice.msp", L"TWICE.MSP"},
                                                                   {L"\u00E4.msp", L"\u00C4.msp"},
                                                                   {L"\u03C3.msp", L"\u03A3.msp"}};
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        SCOPED_TRACE("pair " + std::to_string(i));
        const std::wstring outputName = L"out" + std::to_wstring(i);
        const std::wstring output = InWork(outputName);
        ASSERT_TRUE(MakeWorkDirectories({outputName}));
        const std::vector<UpdateFile> files{{pairs[i].first, PatchLikeData(500, 51)},
                                            {pairs[i].second, PatchLikeData(600, 52)}};

        RunExtraction(CreateUpdater(BuildPackage(files), L"app" + std::to_wstring(i)), output, 1,
                      {kExtracting, kFileNotCreated});

        EXPECT_TRUE(ListTree(output).empty());
    }
}

TEST_F(BlackBoxExtraction, OutputDirectoryThatCannotBeMade) {
    ASSERT_TRUE(WriteFileBytes(InWork(L"plain"), {'x'}));
    struct Case {
        const char* what;
        std::wstring outputDirectory;
    };
    const std::vector<Case> cases{
        // Relative paths are not made from nothing: the first level must exist.
        {"relative, first level missing", L"missing\\out"},
        {"below a plain file", InWork(L"plain\\out")},
        {"a plain file", InWork(L"plain")},
        {"the device NUL", L"NUL"},
    };
    const Lines before = ListTree(WorkDirectory());

    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].what);

        RunExtraction(CreateUpdater(OrdinaryPackage(), L"app" + std::to_wstring(i)), cases[i].outputDirectory, 1,
                      {kExtracting, kDirectoryNotAccessible});

        EXPECT_EQ(ListTree(WorkDirectory()), before) << "nothing is created";
    }
}

TEST_F(BlackBoxExtraction, NoFileWhereTheDirectoryShouldBeEvenForAnEmptyTable) {
    ASSERT_TRUE(WriteFileBytes(InWork(L"plain"), {'x'}));
    const std::wstring updater = CreateUpdater(BuildPackage({}));
    const Bytes updaterBytes = ReadFileBytes(updater).value_or(Bytes{});

    RunExtraction(updater, InWork(L"plain"), 1, {kExtracting, kDirectoryNotAccessible});
    RunExtraction(updater, updater, 1, {kExtracting, kDirectoryNotAccessible});

    EXPECT_TRUE(FileHolds(InWork(L"plain"), {'x'}));
    EXPECT_TRUE(FileHolds(updater, updaterBytes));
}

}  // namespace
}  // namespace corvantile::blackbox
