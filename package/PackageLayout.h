// The byte layout of the update package that follows the updater's image, shared by the updater and the
// packing tool. Portable: no Windows headers. Every integer is unsigned little-endian; every text UTF-16LE.
//
//   nameLength (1) | productName (nameLength bytes) | versionLength (1) | productVersion (versionLength bytes)
//   entryCount (4) | entryCount x UpdateTableEntry (528 each) | the files' data, in table order, back to back
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvantile {

inline constexpr std::size_t kFileNameChars = 260;
inline constexpr std::size_t kFileNameBytes = kFileNameChars * 2;
inline constexpr std::size_t kEntryBytes = 528;
inline constexpr std::size_t kEntryCountBytes = 4;
// A header text is counted by one length byte, so it holds at most 127 UTF-16 code units.
inline constexpr std::size_t kMaxHeaderTextBytes = 255;
inline constexpr std::size_t kMaxHeaderTextChars = kMaxHeaderTextBytes / 2;
// A name leaves room for its NUL inside the 260 code units of the record.
inline constexpr std::size_t kMaxFileNameChars = kFileNameChars - 1;
// No file system creates a longer name, though the record would hold one.
inline constexpr std::size_t kMaxPlainNameChars = 255;

// An update run extracts each file to the temporary directory, a 36-character GUID, a backslash and the name,
// and hands that path to the Installer, which works within MAX_PATH (260 characters with the NUL): from about
// 215 characters Wine's Installer crashed on it. For a temporary directory of up to 100 characters (with its
// trailing backslash) a name of this length still fits: 260 - 100 - 36 - 1 - 1.
inline constexpr std::size_t kMaxPathChars = 260;
inline constexpr std::size_t kMaxTemporaryPathChars = 100;
inline constexpr std::size_t kGuidChars = 36;
inline constexpr std::size_t kMaxUpdateFileNameChars = kMaxPathChars - kMaxTemporaryPathChars - kGuidChars - 1 - 1;
static_assert(kMaxUpdateFileNameChars == 122);

// True when directory + "\\" + a name of fileNameChars characters, with its NUL, fits in MAX_PATH; the updater
// refuses an extracted path that would not before any Installer call.
[[nodiscard]] constexpr bool ExtractedPathFits(std::size_t directoryChars, std::size_t fileNameChars) {
    return directoryChars <= kMaxPathChars && fileNameChars <= kMaxPathChars &&
           directoryChars + 1 + fileNameChars + 1 <= kMaxPathChars;
}
// Every update file is a compound file, as patch packages are.
inline constexpr std::array<std::uint8_t, 8> kCompoundFileSignature{0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

struct UpdateTableEntry {
    std::array<char16_t, kFileNameChars> fileName{};
    std::uint32_t dataLength = 0;
    std::uint32_t reserved = 0;
};

using EntryBytes = std::array<std::uint8_t, kEntryBytes>;

[[nodiscard]] EntryBytes EncodeEntry(const UpdateTableEntry& entry);
// Reads one record from kEntryBytes bytes.
[[nodiscard]] UpdateTableEntry DecodeEntry(const std::uint8_t* bytes);
// The name up to its NUL; empty when the record's 260 code units hold no NUL (a broken record).
[[nodiscard]] std::optional<std::u16string_view> EntryFileName(const UpdateTableEntry& entry);
// A record for a name of at most kMaxFileNameChars code units.
[[nodiscard]] UpdateTableEntry MakeEntry(std::u16string_view fileName, std::uint32_t dataLength);

// The length byte and the UTF-16LE bytes of a header text of at most kMaxHeaderTextChars code units.
[[nodiscard]] std::vector<std::uint8_t> EncodeHeaderText(std::u16string_view text);
// floor(byteCount / 2) code units; an odd last byte is not part of the text.
[[nodiscard]] std::u16string DecodeHeaderText(const std::uint8_t* bytes, std::size_t byteCount);

[[nodiscard]] std::uint32_t ReadLe32(const std::uint8_t* bytes);
void WriteLe32(std::uint8_t* bytes, std::uint32_t value);

// Why a name cannot name an update file in a directory of its own; None when it can.
enum class FileNameProblem {
    None,
    Empty,
    TooLong,            // more than kMaxPlainNameChars code units
    NotUtf16,           // an unpaired surrogate, which the file system would turn into another name
    DirectoryPart,      // \ / or : would reach outside the target directory
    ReservedCharacter,  // * ? " < > |
    ControlCharacter,
    DotName,             // . or ..
    TrailingDotOrSpace,  // Windows drops these, so the file would get another name
    DeviceName,          // CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM and LPT with a digit, with or without an extension
};

[[nodiscard]] FileNameProblem CheckPlainFileName(std::u16string_view name);
[[nodiscard]] const char* DescribeFileNameProblem(FileNameProblem problem);
// Windows file names compare without regard to case, by the file system's uppercase mapping of each code
// unit; one directory cannot hold two names with the same key. For names that pass CheckPlainFileName.
[[nodiscard]] std::u16string FileNameCollisionKey(std::u16string_view name);

// What the PE headers say about where the package lies.
struct PeLayout {
    // End of the raw data of the section with the largest PointerToRawData (the first of equals).
    std::uint32_t imageEnd = 0;
    // File offset and size of the certificate table (a signature); both 0 in an unsigned image.
    std::uint32_t certificateOffset = 0;
    std::uint32_t certificateBytes = 0;
    bool pe32Plus = false;
};

// Walks the headers at the start of a PE file or a mapped image. Empty when the bytes are no PE image or
// the section table does not lie within headerBytes.
[[nodiscard]] std::optional<PeLayout> ReadPeLayout(const std::uint8_t* headers, std::size_t headerBytes);

// Where the package ends: at the certificate table when the image is signed, else at the end of the file.
[[nodiscard]] std::uint64_t PackageEnd(const PeLayout& layout, std::uint64_t fileBytes);
// True when bytes lie between the end of the image and the end of the package. An image said to end at 0
// carries none: its package would be its own headers.
[[nodiscard]] bool HasPackage(const PeLayout& layout, std::uint64_t fileBytes);

}  // namespace corvantile
