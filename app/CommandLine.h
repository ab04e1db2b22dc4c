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
};

// The program's own path, asked for only when -x or -l comes without a directory.
using ModulePathSource = std::function<std::optional<std::wstring>()>;

// Reads arguments[1..count) into settings; arguments[0] is the program path. Switches are whole,
// case-sensitive strings; the first argument not accepted makes the run mode Invalid and ends parsing.
void ParseCommandLine(int argumentCount, const wchar_t* const* arguments, CommandLineSettings& settings,
                      const ModulePathSource& modulePath);

}  // namespace corvantile
