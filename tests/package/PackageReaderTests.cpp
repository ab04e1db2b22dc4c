#include "package/PackageReader.h"

#include "tests/support/PackageBytes.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvantile {
namespace {

// The package builders, used as if they were this file's own.
using namespace testing;

// Header, table and data, as the packing tool lays them out.
Bytes Package(const std::vector<UpdateFile>& files) { return BuildPackage(files, L"Example Server 10", L"2.0.0.100"); }

constexpr std::size_t kHeaderBytes = 35 + 19;

// Records every read that the reader asks for.
class RecordingSource final : public PackageSource {
public:
    RecordingSource(const Bytes& bytes, std::uint32_t maxReadBytes = UINT32_MAX)
        : memory_(bytes.data(), bytes.size(), maxReadBytes) {}
    bool Read(void* buffer, std::uint32_t bytes, std::uint32_t& delivered) override {
        requests.push_back(bytes);
        return memory_.Read(buffer, bytes, delivered);
    }
    std::uint64_t Remaining() const override { return memory_.Remaining(); }

    std::vector<std::uint32_t> requests;

private:
    MemoryPackageSource memory_;
};

// Files in memory, with a log of what was asked of it and failures on demand.
class RecordingTarget final : public ExtractionTarget {
public:
    bool Prepare() override {
        calls.push_back("prepare");
        return prepareSucceeds;
    }
    bool Create(std::u16string_view fileName) override {
        calls.push_back("create");
        if (!createSucceeds || files.count(std::u16string(fileName)) != 0) return false;
        current = fileName;
        files[current];
        return true;
    }
    bool Write(const std::uint8_t* bytes, std::uint32_t byteCount) override {
        if (byteCount > writeBudget) return false;
        writeBudget -= byteCount;
        Bytes& file = files[current];
        file.insert(file.end(), bytes, bytes + byteCount);
        return true;
    }
    bool Finish() override {
        calls.push_back("finish");
        return finishSucceeds;
    }
    void Discard() override {
        calls.push_back("discard");
        files.erase(current);
    }

    bool prepareSucceeds = true;
    bool createSucceeds = true;
    bool finishSucceeds = true;
    std::uint64_t writeBudget = UINT64_MAX;
    std::vector<std::string> calls;
    std::map<std::u16string, Bytes> files;
    std::u16string current;
};

TEST(PackageReader, HeaderAndTableAreReadInTheReadsOfTheLayout) {
    const Bytes package = Package({{L"a.msp", PatternBytes(10, 1)}, {L"b.msp", PatternBytes(20, 2)}});
    RecordingSource source(package);
    PackageHeader header;
    ASSERT_EQ(ReadPackageHeader(source, header), HeaderOutcome::Read);
    EXPECT_EQ(header.productName, u"Example Server 10");
    EXPECT_EQ(header.productVersion, u"2.0.0.100");
    UpdateFileList entries;
    const TableRead table = ReadUpdateTable(source, entries);
    EXPECT_EQ(table.outcome, TableOutcome::Read);
    EXPECT_EQ(table.entryCount, 2u);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(*EntryFileName(entries[1]), u"b.msp");
    EXPECT_EQ(entries[1].dataLength, 20u);
    EXPECT_EQ(source.requests, (std::vector<std::uint32_t>{1, 34, 1, 18, 4, 528, 528}));
    EXPECT_EQ(CheckDataExtent(entries, source.Remaining()).fit, DataFit::Fills);
}

TEST(PackageReader, DamagedHeadersAndTables) {
    const Bytes whole = Package({{L"a.msp", PatternBytes(10, 1)}, {L"b.msp", PatternBytes(20, 2)}});
    Bytes hugeCount = whole;
    WriteLe32(hugeCount.data() + kHeaderBytes, 0xFFFFFFFFu);
    Bytes unterminated = whole;
    for (std::size_t i = 0; i < kFileNameChars; ++i) {
        unterminated[kHeaderBytes + kEntryCountBytes + kEntryBytes + 2 * i] = 'x';
    }
    struct Case {
        const char* what;
        Bytes package;
        HeaderOutcome header;
        TableOutcome table;
        std::size_t failedEntry;
    };
    const auto cut = [&](std::size_t bytes) { return Prefix(whole, bytes); };
    const std::vector<Case> cases{
        {"empty", {}, HeaderOutcome::ProductNameNotReadable, TableOutcome::Read, 0},
        {"inside the name", cut(20), HeaderOutcome::ProductNameNotReadable, TableOutcome::Read, 0},
        {"before the version", cut(35), HeaderOutcome::VersionNotReadable, TableOutcome::Read, 0},
        {"inside the version", cut(50), HeaderOutcome::VersionNotReadable, TableOutcome::Read, 0},
        {"inside the count", cut(kHeaderBytes + 3), HeaderOutcome::Read, TableOutcome::CountNotReadable, 0},
        {"inside the last entry", cut(kHeaderBytes + 4 + 2 * kEntryBytes - 1), HeaderOutcome::Read,
         TableOutcome::TableCutShort, 0},
        {"a count the package cannot back", hugeCount, HeaderOutcome::Read, TableOutcome::TableCutShort, 0},
        {"no NUL in the second name", unterminated, HeaderOutcome::Read, TableOutcome::NameUnterminated, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MemoryPackageSource source(c.package.data(), c.package.size());
        PackageHeader header;
        ASSERT_EQ(ReadPackageHeader(source, header), c.header);
        if (c.header != HeaderOutcome::Read) continue;
        UpdateFileList entries;
        const TableRead table = ReadUpdateTable(source, entries);
        EXPECT_EQ(table.outcome, c.table);
        EXPECT_EQ(table.failedEntry, c.failedEntry);
    }
}

TEST(PackageReader, RefusedNamesAreFoundInTableOrder) {
    const auto list = [](std::vector<std::u16string> names) {
        UpdateFileList entries;
        for (const std::u16string& name : names) entries.push_back(MakeEntry(name, 1));
        return entries;
    };
    struct Case {
        std::vector<std::u16string> names;
        std::optional<std::size_t> entry;
        FileNameProblem problem;
        std::size_t earlierEntry;
    };
    const std::vector<Case> cases{
        {{u"a.msp", u"b.msp", u"\u00E4.msp"}, std::nullopt, FileNameProblem::None, 0},
        {{}, std::nullopt, FileNameProblem::None, 0},
        {{u"a.msp", u"b.msp", u"COM\u00B9.msp"}, 2, FileNameProblem::DeviceName, 0},
        {{u"a.msp", u"b.msp", u"A.MSP"}, 2, FileNameProblem::None, 0},
        {{u"\u00E4.msp", u"b.msp", u"\u00C4.msp"}, 2, FileNameProblem::None, 0},
        {{u"x", u"\u03C3.msp", u"\u03A3.msp", u".."}, 2, FileNameProblem::None, 1},
        {{u"x", u"..", u"X"}, 1, FileNameProblem::DotName, 0},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE("case " + std::to_string(i));
        const std::optional<NameRefusal> refusal = FindRefusedName(list(cases[i].names));
        ASSERT_EQ(refusal.has_value(), cases[i].entry.has_value());
        if (!refusal) continue;
        EXPECT_EQ(refusal->entry, *cases[i].entry);
        EXPECT_EQ(refusal->problem, cases[i].problem);
        if (cases[i].problem == FileNameProblem::None) {
            EXPECT_EQ(refusal->earlierEntry, cases[i].earlierEntry);
        }
    }
}

TEST(PackageReader, DataExtentAgainstThePackageEnd) {
    UpdateFileList entries{MakeEntry(u"a", 0xFFFFFFFFu), MakeEntry(u"b", 0xFFFFFFFFu), MakeEntry(u"c", 2)};
    const std::uint64_t dataBytes = 2 * std::uint64_t{0xFFFFFFFFu} + 2;  // beyond 32 bits
    const DataExtent exact = CheckDataExtent(entries, dataBytes);
    EXPECT_EQ(exact.fit, DataFit::Fills);
    const DataExtent cut = CheckDataExtent(entries, dataBytes - 5);
    EXPECT_EQ(cut.fit, DataFit::CutShort);
    EXPECT_EQ(cut.bytes, 5u);
    const DataExtent more = CheckDataExtent(entries, dataBytes + 7);
    EXPECT_EQ(more.fit, DataFit::FollowedByMore);
    EXPECT_EQ(more.bytes, 7u);
    EXPECT_EQ(CheckDataExtent({}, 0).fit, DataFit::Fills);
}

struct Extraction {
    ExtractionOutcome outcome;
    RecordingTarget target;
    std::vector<std::uint32_t> requests;
};

Extraction Extract(const Bytes& package, RecordingTarget target = {}, std::uint32_t maxReadBytes = UINT32_MAX) {
    RecordingSource source(package, maxReadBytes);
    PackageHeader header;
    EXPECT_EQ(ReadPackageHeader(source, header), HeaderOutcome::Read);
    source.requests.clear();
    UpdateFileList entries;
    const ExtractionOutcome outcome = ExtractFiles(source, target, entries);
    return {outcome, std::move(target), std::move(source.requests)};
}

TEST(ExtractFiles, WritesEveryFileInChunksOfTheCopyBuffer) {
    const std::vector<UpdateFile> files{
        {L"empty.msp", {}}, {L"exact.msp", PatternBytes(32768, 3)}, {L"above.msp", PatternBytes(65537, 4)}};
    const Extraction extraction = Extract(Package(files));
    EXPECT_EQ(extraction.outcome, ExtractionOutcome::Extracted);
    EXPECT_EQ(extraction.requests, (std::vector<std::uint32_t>{4, 528, 528, 528, 32768, 32768, 32768, 1}));
    for (const UpdateFile& file : files) EXPECT_EQ(extraction.target.files.at(Utf16(file.name)), file.data);

    // Short reads are written and the copy goes on.
    const Extraction shortReads = Extract(Package(files), {}, 1000);
    EXPECT_EQ(shortReads.outcome, ExtractionOutcome::Extracted);
    for (const UpdateFile& file : files) EXPECT_EQ(shortReads.target.files.at(Utf16(file.name)), file.data);
}

TEST(ExtractFiles, RefusedNamesTouchNothing) {
    for (const wchar_t* second : {L"COM\u00B9.msp", L"LPT0.msp", L"..\\x.msp", L"\u00C4.msp", L"A.msp"}) {
        SCOPED_TRACE(::testing::PrintToString(Utf16(second)));
        const Extraction extraction = Extract(Package(
            {{L"a.msp", PatternBytes(10, 1)}, {L"\u00E4.msp", PatternBytes(5, 2)}, {second, PatternBytes(10, 2)}}));
        EXPECT_EQ(extraction.outcome, ExtractionOutcome::NameRefused);
        EXPECT_TRUE(extraction.target.calls.empty()) << "not even the directory is prepared";
    }
}

TEST(ExtractFiles, AFileNotWrittenWholeIsDiscardedAndEarlierFilesStay) {
    const std::vector<UpdateFile> files{{L"first.msp", PatternBytes(100, 1)}, {L"second.msp", PatternBytes(40000, 2)}};
    const Bytes whole = Package(files);
    RecordingTarget plain, failingWrites, noClose, noDirectory, noFile;
    failingWrites.writeBudget = 100 + 32768;
    noClose.finishSucceeds = noDirectory.prepareSucceeds = noFile.createSucceeds = false;
    struct Case {
        const char* what;
        Bytes package;
        RecordingTarget target;
        ExtractionOutcome outcome;
        std::vector<std::string> calls;
        std::vector<std::u16string> staying;
    };
    const std::vector<std::string> secondDiscarded{"prepare", "create", "finish", "create", "discard"};
    const std::vector<std::u16string> first{u"first.msp"};
    const std::vector<Case> cases{
        {"data cut short", Prefix(whole, whole.size() - 1), plain, ExtractionOutcome::DataCutShort, secondDiscarded,
         first},
        {"data cut at the second file", Prefix(whole, whole.size() - 40000), plain, ExtractionOutcome::DataCutShort,
         secondDiscarded, first},
        {"write fails", whole, failingWrites, ExtractionOutcome::WriteFailed, secondDiscarded, first},
        {"close fails", whole, noClose, ExtractionOutcome::WriteFailed, {"prepare", "create", "finish", "discard"}, {}},
        {"no directory", whole, noDirectory, ExtractionOutcome::DirectoryNotAccessible, {"prepare"}, {}},
        {"no file", whole, noFile, ExtractionOutcome::FileNotCreated, {"prepare", "create"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Extraction extraction = Extract(c.package, c.target);
        EXPECT_EQ(extraction.outcome, c.outcome);
        EXPECT_EQ(extraction.target.calls, c.calls);
        std::vector<std::u16string> staying;
        for (const auto& [name, data] : extraction.target.files) {
            staying.push_back(name);
            EXPECT_EQ(data, files[0].data) << "only complete files stay";
        }
        EXPECT_EQ(staying, c.staying);
    }
}

}  // namespace
}  // namespace corvantile
