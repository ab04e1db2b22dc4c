// The record that the entry point gives the progress dialog, and through it the updater thread.
#pragma once

#include "engine/ApplyUpdates.h"

#include <windows.h>

#include <objbase.h>
#include <process.h>
#include <rpc.h>

#include <cstdint>
#include <string>

namespace corvantile {

// What the worker makes its directory with: the system's calls, or a test's.
struct WorkingDirectoryCalls {
    decltype(&::GetTempPathW) getTempPath = &::GetTempPathW;
    decltype(&::CoCreateGuid) createGuid = &::CoCreateGuid;
    decltype(&::UuidToStringW) uuidToString = &::UuidToStringW;
    decltype(&::CreateDirectoryW) createDirectory = &::CreateDirectoryW;
};

struct DialogState {
    // Read-only once the dialog exists.
    HINSTANCE instanceHandle = nullptr;
    // -a: nobody waits at the screen, so the dialog presses OK itself and closes when the run is over.
    bool unattended = false;
    std::wstring productName;
    std::wstring productVersion;
    // The command line asked for a log that could not be created; the status line says so until the run starts.
    bool logNotCreated = false;
    // What the worker hands to the engine; the package's cursor moves only on the worker.
    EngineContext engine;
    // Starts the worker: _beginthreadex, or a test's that fails.
    decltype(&::_beginthreadex) beginThread = &::_beginthreadex;
    WorkingDirectoryCalls workingDirectoryCalls;

    // Written by the dialog at its creation, before the worker exists; read by the worker.
    HWND window = nullptr;
    // Written by the worker once it has made the directory, before its first notification; read by the dialog
    // when it is destroyed. Empty when this run made none.
    std::wstring workingDirectory;
    // The process exit code: written by the worker before its outcome notification (or by the dialog when no
    // worker could start), read by the dialog when it is destroyed; 0 until then.
    std::uint32_t exitCode = 0;
};

}  // namespace corvantile
