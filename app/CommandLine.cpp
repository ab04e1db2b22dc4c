#include "app/CommandLine.h"

#include <algorithm>
#include <string_view>

namespace corvantile {

namespace {

// Takes the directory after -x or -l. A directory is the next argument when it does not begin with '-'
// (an empty argument is a directory too); otherwise it is the one holding the program's own file.
void TakeDirectory(int argumentCount, const wchar_t* const* arguments, int& index, std::wstring& directory,
                   const ModulePathSource& modulePath) {
    if (index + 1 < argumentCount && arguments[index + 1][0] != L'-') {
        directory = arguments[++index];
        return;
    }
    if (const std::optional<std::wstring> path = modulePath()) {
        const std::size_t lastBackslash = path->rfind(L'\\');
        if (lastBackslash != std::wstring::npos) directory = path->substr(0, lastBackslash);
    }
}

// "-a" itself, or a word of an argument that swallowed it: in `-l "C:\Log Dir\" -a` the backslash makes the
// closing quote a literal one, and the rest of the command line becomes part of the directory. No path holds a
// quote, so only such an argument is split into its words.
bool NamesUnattendedRun(std::wstring_view argument) {
    if (argument == L"-a") return true;
    if (argument.find(L'"') == std::wstring_view::npos) return false;
    for (std::size_t begin = 0; begin < argument.size();) {
        const std::size_t end = std::min(argument.find(L' ', begin), argument.size());
        if (argument.substr(begin, end - begin) == L"-a") return true;
        begin = end + 1;
    }
    return false;
}

}  // namespace

void ParseCommandLine(int argumentCount, const wchar_t* const* arguments, CommandLineSettings& settings,
                      const ModulePathSource& modulePath) {
    for (int index = 1; index < argumentCount; ++index) {
        if (NamesUnattendedRun(arguments[index])) settings.unattended = true;
    }
    for (int index = 1; index < argumentCount; ++index) {
        const std::wstring_view argument = arguments[index];
        if (argument == L"-a" && settings.runMode == RunMode::Interactive) {
            settings.runMode = RunMode::Silent;
        } else if (argument == L"-x" && settings.runMode == RunMode::Interactive) {
            settings.runMode = RunMode::Extract;
            TakeDirectory(argumentCount, arguments, index, settings.outputDirectory, modulePath);
        } else if (argument == L"-l" && settings.logDirectory.empty()) {
            TakeDirectory(argumentCount, arguments, index, settings.logDirectory, modulePath);
        } else {
            settings.runMode = RunMode::Invalid;
            return;
        }
    }
}

}  // namespace corvantile
