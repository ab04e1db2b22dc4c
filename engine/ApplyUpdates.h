// The update run: extraction, the patch catalogue, the installed products, one transaction, the commit and
// the restart offer.
#pragma once

#include "engine/InstallerApi.h"
#include "engine/InstallerResult.h"
#include "engine/StatusLine.h"
#include "package/PackageFile.h"

#include <windows.h>

#include <string>

namespace corvantile {

// What the engine needs of the rest of the program, handed in so that tests can give their own.
struct EngineContext {
    // The Installer to use; null when it cannot be loaded. Called once per run, before anything is extracted.
    const InstallerApi* (*loadInstaller)() = LoadSystemInstaller;
    // The package, its cursor on the update table.
    PackageFile* packageFile = nullptr;
    // Where the Installer writes a verbose log per patch, ending with a backslash; empty when logging is off.
    std::wstring logDirectory;
    // Holds the string table, and the string in it that formats the status line of each patch from the file
    // name and the product's name.
    HINSTANCE stringModule = nullptr;
    UINT statusFormatId = 0;
};

// Extracts the update files into extractDir (which has no trailing backslash) and applies every patch that
// the Installer finds applicable to an installed product, x64 products first, inside one transaction.
// statusLine, when not null, shows a status text per patch; ownerWindow, when not null, owns the restart question. While another
// installation keeps the Installer busy, the transaction is tried again a few times, a few seconds apart.
// 0 when the transaction was committed (also when nothing needed an update); 1 otherwise, after logging
// why where the Installer gives a reason. outcome says which Installer result failed the run and what
// became of the restart.
[[nodiscard]] int ApplyUpdates(const EngineContext& context, const wchar_t* extractDir, HWND ownerWindow,
                               StatusLine* statusLine, UpdateOutcome& outcome);

}  // namespace corvantile
