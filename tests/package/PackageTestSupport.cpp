#include "tests/package/PackageTestSupport.h"

#include "app/Log.h"
#include "app/UniqueHandles.h"

#include <windows.h>

#include <stdexcept>

namespace corvantile::testing {

namespace {

// "HH:MM:SS.mmm" and two spaces.
constexpr std::size_t kTimestampChars = 14;
// Logs of earlier test processes are removed once they are this old; younger ones may still be in use.
constexpr std::uint64_t kStaleLogAge100ns = 60ull * 60 * 10'000'000;

std::uint64_t FileTimeValue(const FILETIME& time) {
    return (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

std::uint64_t FileBytes(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

void ListTreeInto(const std::wstring& root, const std::wstring& prefix, std::set<std::wstring>& paths) {
    WIN32_FIND_DATAW entry;
    const UniqueFindHandle listing(FindFirstFileW((root + L"\\*").c_str(), &entry));
    if (!listing) return;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        paths.insert(prefix + name);
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ListTreeInto(root + L'\\' + name, prefix + name + L'\\', paths);
    } while (FindNextFileW(listing.get(), &entry));
}

void RemoveStaleLogs(const std::wstring& logRoot) {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    WIN32_FIND_DATAW entry;
    const UniqueFindHandle listing(FindFirstFileW((logRoot + L"\\log-*").c_str(), &entry));
    if (!listing) return;
    do {
        if (FileTimeValue(now) - FileTimeValue(entry.ftLastWriteTime) > kStaleLogAge100ns) {
            RemoveTree(logRoot + L'\\' + entry.cFileName);
        }
    } while (FindNextFileW(listing.get(), &entry));
}

// OpenLog keeps its file open until the process ends, so each test process gets its own directory.
const std::wstring& TestLogFile() {
    static const std::wstring path = [] {
        wchar_t temp[MAX_PATH + 1];
        const DWORD chars = GetTempPathW(MAX_PATH + 1, temp);
        if (chars == 0 || chars > MAX_PATH) throw std::runtime_error("no temporary directory");
        const std::wstring logRoot = std::wstring(temp) + L"corvantile-tests";
        CreateDirectoryW(logRoot.c_str(), nullptr);
        RemoveStaleLogs(logRoot);
        std::wstring directory = logRoot + L"\\log-" + std::to_wstring(GetCurrentProcessId()) + L'-' +
                                 std::to_wstring(GetTickCount64());
        OpenLog(directory);
        return directory + L"CorvantileUpdater.log";
    }();
    return path;
}

}  // namespace

std::wstring FullPath(const std::wstring& path) {
    wchar_t full[4096];
    const DWORD chars = GetFullPathNameW(path.c_str(), 4096, full, nullptr);
    if (chars == 0 || chars >= 4096) throw std::runtime_error("GetFullPathNameW failed");
    return full;
}

bool PathExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsPlainFile(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

void WriteFileBytes(const std::wstring& path, const Bytes& bytes) {
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (!file || !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size()) {
        throw std::runtime_error("cannot write a test file");
    }
}

Bytes ReadFileBytes(const std::wstring& path) {
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) throw std::runtime_error("cannot open a test file");
    Bytes bytes;
    std::uint8_t block[65536];
    DWORD delivered = 0;
    while (ReadFile(file.get(), block, sizeof block, &delivered, nullptr) && delivered > 0) {
        bytes.insert(bytes.end(), block, block + delivered);
    }
    return bytes;
}

bool CanOpenExclusively(const std::wstring& path) {
    const UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.valid();
}

void RemoveTree(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
        return;
    }
    WIN32_FIND_DATAW entry;
    {
        const UniqueFindHandle listing(FindFirstFileW((path + L"\\*").c_str(), &entry));
        if (listing) {
            do {
                const std::wstring name = entry.cFileName;
                if (name != L"." && name != L"..") RemoveTree(path + L'\\' + name);
            } while (FindNextFileW(listing.get(), &entry));
        }
    }
    RemoveDirectoryW(path.c_str());
}

std::set<std::wstring> ListTree(const std::wstring& root) {
    std::set<std::wstring> paths;
    ListTreeInto(root, L"", paths);
    return paths;
}

Bytes PatternBytes(std::size_t count, std::uint8_t seed) {
    Bytes bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>((i * 131 + i / 251 + seed) & 0xFF);
    return bytes;
}

ScratchDirectory::ScratchDirectory() {
    static unsigned counter = 0;
    relativePath_ = L"scratch-" + std::to_wstring(GetCurrentProcessId()) + L'-' + std::to_wstring(++counter);
    path_ = FullPath(relativePath_);
    RemoveTree(path_);
    if (!CreateDirectoryW(path_.c_str(), nullptr)) throw std::runtime_error("cannot create a scratch directory");
}

ScratchDirectory::~ScratchDirectory() {
    RemoveTree(path_);
}

Bytes BuildPackage(const std::vector<UpdateFileSpec>& files) {
    Bytes package = EncodeHeaderText(u"Test Product");
    const Bytes version = EncodeHeaderText(u"2.0.0.100");
    package.insert(package.end(), version.begin(), version.end());
    std::uint8_t count[kEntryCountBytes];
    WriteLe32(count, static_cast<std::uint32_t>(files.size()));
    package.insert(package.end(), count, count + kEntryCountBytes);
    for (const UpdateFileSpec& file : files) {
        const EntryBytes record = EncodeEntry(MakeEntry(file.name, static_cast<std::uint32_t>(file.data.size())));
        package.insert(package.end(), record.begin(), record.end());
    }
    for (const UpdateFileSpec& file : files) package.insert(package.end(), file.data.begin(), file.data.end());
    return package;
}

std::size_t EntryOffset(std::size_t index) {
    // Both header texts are even-length, so each takes its length byte plus its characters' bytes.
    const std::size_t headerBytes = (1 + 2 * 12) + (1 + 2 * 9);
    return headerBytes + kEntryCountBytes + index * kEntryBytes;
}

std::size_t DataOffset(std::size_t entryCount) {
    return EntryOffset(entryCount);
}

CraftedUpdater::CraftedUpdater(const std::wstring& directory, const Bytes& package, const Bytes& certificate) {
    Bytes file(kImageBytes, 0xEE);
    file.insert(file.end(), package.begin(), package.end());
    PeLayout layout;
    layout.imageEnd = kImageBytes;
    if (!certificate.empty()) {
        layout.certificateOffset = static_cast<std::uint32_t>(file.size());
        layout.certificateBytes = static_cast<std::uint32_t>(certificate.size());
        file.insert(file.end(), certificate.begin(), certificate.end());
    }
    const std::wstring path = directory + L"\\updater.exe";
    WriteFileBytes(path, file);
    std::wstring name;
    std::wstring version;
    headerRead_ = package_.Open(path, layout) && package_.ReadPackageHeader(name, version) == HeaderOutcome::Read;
}

LogCapture::LogCapture() : startBytes_(FileBytes(TestLogFile())) {}

std::vector<std::wstring> LogCapture::Lines() const {
    const Bytes bytes = ReadFileBytes(TestLogFile());
    std::wstring text;
    for (std::size_t i = startBytes_; i + 1 < bytes.size(); i += 2) {
        text.push_back(static_cast<wchar_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    std::vector<std::wstring> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find(L"\r\n", start)) != std::wstring::npos; start = end + 2) {
        const std::wstring line = text.substr(start, end - start);
        // A line without its timestamp is returned whole, so that the comparison shows it.
        const bool stamped = line.size() >= kTimestampChars && line[2] == L':' && line[5] == L':' &&
                             line[8] == L'.' && line.compare(12, 2, L"  ") == 0;
        lines.push_back(stamped ? line.substr(kTimestampChars) : line);
    }
    if (start != text.size()) lines.push_back(L"<unterminated> " + text.substr(start));
    return lines;
}

}  // namespace corvantile::testing
