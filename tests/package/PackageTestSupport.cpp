#include "tests/package/PackageTestSupport.h"

#include "base/Log.h"

#include <windows.h>

#include <algorithm>
#include <stdexcept>

namespace corvantile::testing {

namespace {

// Logs of earlier test processes are removed once they are this old; younger ones may still be in use.
constexpr std::uint64_t kStaleLogAge100ns = 60ull * 60 * 10'000'000;

std::uint64_t FileTimeValue(const FILETIME& time) {
    return (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

void RemoveStaleLogs(const std::wstring& logRoot) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ForEachEntry(logRoot, L"log-*", [&](const WIN32_FIND_DATAW& entry) {
        if (FileTimeValue(now) - FileTimeValue(entry.ftLastWriteTime) > kStaleLogAge100ns) {
            RemoveTree(JoinPath(logRoot, entry.cFileName));
        }
    });
}

// OpenLog keeps its file open until the process ends, so each test process gets its own directory.
const std::wstring& TestLogFile() {
    static const std::wstring path = [] {
        const std::wstring logRoot = UserTempDirectory() + L"corvantile-tests";
        CreateDirectoryW(logRoot.c_str(), nullptr);
        RemoveStaleLogs(logRoot);
        std::wstring directory =
            logRoot + L"\\log-" + std::to_wstring(GetCurrentProcessId()) + L'-' + std::to_wstring(GetTickCount64());
        if (!OpenLog(directory)) throw std::runtime_error("cannot create the test log");
        return directory + L"CorvantileUpdater.log";
    }();
    return path;
}

Bytes TestLogBytes() {
    std::optional<Bytes> bytes = ReadFileBytes(TestLogFile());
    if (!bytes) throw std::runtime_error("cannot read the test log");
    return std::move(*bytes);
}

}  // namespace

CraftedUpdater::CraftedUpdater(const std::wstring& directory, const Bytes& package, const Bytes& certificate) {
    Bytes file = Concat({Bytes(kImageBytes, 0xEE), package});
    PeLayout layout;
    layout.imageEnd = kImageBytes;
    if (!certificate.empty()) {
        layout.certificateOffset = AppendCertificateTable(file, certificate);
        layout.certificateBytes = static_cast<std::uint32_t>(certificate.size());
    }
    const std::wstring path = directory + L"\\updater.exe";
    std::wstring name;
    std::wstring version;
    headerRead_ = WriteFileBytes(path, file) && package_.Open(path, layout) &&
                  package_.ReadPackageHeader(name, version) == HeaderOutcome::Read;
}

LogCapture::LogCapture() : startBytes_(TestLogBytes().size()) {}

std::vector<std::wstring> LogCapture::Lines() const {
    const Bytes log = TestLogBytes();
    const ParsedLog parsed = ParseLog(Bytes(log.begin() + std::min(startBytes_, log.size()), log.end()));
    std::vector<std::wstring> lines = parsed.Messages();
    if (!parsed.WellFormed()) {
        lines.push_back(L"<malformed log> " + std::wstring(parsed.problem.begin(), parsed.problem.end()));
    }
    return lines;
}

}  // namespace corvantile::testing
