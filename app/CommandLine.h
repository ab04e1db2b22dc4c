// The command line: CorvantileUpdater [[-x [outdir]]|[-a]] [-l [logdir]]
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace corvantile {

enum class RunMode : std::int32_t { Invalid = 0, Interactive = 1, Extract = 2, Silent = 3 };

struct CommandLineSettings {
    RunMode runMode = RunMode::Interactive;
    std::wstring outputDirectory;
    std::wstring logDirectory;  // empty: logging off
    // "-a" stands somewhere on the command line, even where parsing did not reach: nobody waits at the
    // screen, so no box is shown, not even for a command line that is refused.
    bool unattended = false;
};

// The program's own path, asked for only when -x or -l comes without a directory.
using ModulePathSource = std::function<std::optional<std::wstring>()>;

// Reads arguments[1..count) into settings; arguments[0] is the program path. Switches are whole,
// case-sensitive strings; the first argument not accepted makes the run mode Invalid and ends parsing.
// A switch without a directory (-x or -l followed by a switch or by nothing) takes the program's own
// directory, and parsing goes on with the next argument, under the same conflicts.
void ParseCommandLine(int argumentCount, const wchar_t* const* arguments, CommandLineSettings& settings,
                      const ModulePathSource& modulePath);

}  // namespace corvantile
