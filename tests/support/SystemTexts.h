// The updater's own texts as the tests expect them (log lines, the dialog's and the boxes' texts, the usage
// text), each typed once, and the lines that carry a name or a code. Header-only and without Windows headers,
// for the portable tests too; the control ids are res/resource.h's.
#pragma once

#include <string>

namespace corvantile::texts {

// Log lines.
inline constexpr wchar_t kExtracting[] = L"Extracting update files.";
inline constexpr wchar_t kDetermining[] = L"Determining applicable patches.";
inline constexpr wchar_t kSucceeded[] = L"MsiApplyPatch succeeded.";
inline constexpr wchar_t kCommitted[] = L"All updates applied successfully and MSI transaction committed.";
inline constexpr wchar_t kRebootLine[] = L"One or more of the updates installed require a reboot.";
inline constexpr wchar_t kProductNameNotRead[] = L"Failed to read product name.";
inline constexpr wchar_t kProductVersionNotRead[] = L"Failed to read product version.";
inline constexpr wchar_t kTableNotRead[] = L"Failed to read the update table.";
inline constexpr wchar_t kEntryNotRead[] = L"Failed to read update table entry.";
inline constexpr wchar_t kFileNotCreated[] = L"Failed to create update file.";
inline constexpr wchar_t kDirectoryNotAccessible[] = L"Output directory not accessible.";
inline constexpr wchar_t kUpdateCutShort[] = L"Failed to extract update.";
inline constexpr wchar_t kWriteFailed[] = L"Failed to write update file.";
inline std::wstring OrderLine(const std::wstring& product) {
    return L"Determining update application order for product '" + product + L"'.";
}
inline std::wstring ApplyFailed(unsigned code) { return L"MsiApplyPatch failed with error=" + std::to_wstring(code); }

// The dialog, its status line (Installing is a log line too) and the About box.
inline constexpr wchar_t kCaption[] = L"Corvantile Updater";
inline constexpr wchar_t kIntroFormat[] = L"This utility will update your %s to version %s.";
inline constexpr wchar_t kReady[] = L"Click 'OK' to continue";
inline constexpr wchar_t kLogNotCreated[] = L"The log file could not be created. Click 'OK' to continue without it.";
inline constexpr wchar_t kApplying[] = L"Applying updates...";
inline constexpr wchar_t kFinished[] = L"Finished updating.";
inline constexpr wchar_t kFailed[] = L"Update failed.";
inline constexpr wchar_t kCancel[] = L"Cancel";
inline constexpr wchar_t kClose[] = L"Close";
inline constexpr wchar_t kAboutCaption[] = L"About Corvantile Updater";
inline std::wstring Intro(const std::wstring& product, const std::wstring& version) {
    return L"This utility will update your " + product + L" to version " + version + L".";
}
inline std::wstring Installing(const std::wstring& file, const std::wstring& product) {
    return L"Installing update '" + file + L"' for '" + product + L"'.";
}
inline std::wstring VersionLine(const std::wstring& version) { return L"Version " + version; }

// The boxes: the restart question, and the usage text and the package error under kCaption.
inline constexpr wchar_t kRestartCaption[] = L"Corvantile Updater - Reboot Required";
inline constexpr wchar_t kRestartQuestion[] =
    L"Product updates successfully applied, but a reboot is required. Would you like to reboot now?";
inline constexpr wchar_t kUsageText[] =
    L"Usage: CorvantileUpdater [[-x [outdir]]|[-a]] [-l [logdir]]\n"
    L"       -x: extract update files\n"
    L"       -a: no interaction mode\n"
    L"       -l: enable logging\n";
inline constexpr wchar_t kPackageErrorText[] =
    L"Error: either the updater is empty, or the contained update data are inaccessible.";
// The id Windows gives a message box's text control.
inline constexpr int kMessageBoxTextId = 0xFFFF;

}  // namespace corvantile::texts
