#include "app/CommandLine.h"

#include <string_view>

namespace corvantile {

namespace {

enum class DirectoryArgument { Given, Omitted };

// Takes the directory after -x or -l. A directory is the next argument when it does not begin with '-'
// (an empty argument is a directory too); otherwise it is the one holding the program's own file.
DirectoryArgument TakeDirectory(int argumentCount, const wchar_t* const* arguments, int& index,
                                std::wstring& directory, const ModulePathSource& modulePath) {
    if (index + 1 < argumentCount && arguments[index + 1][0] != L'-') {
        directory = arguments[++index];
        return DirectoryArgument::Given;
    }
    if (const std::optional<std::wstring> path = modulePath()) {
        const std::size_t lastBackslash = path->rfind(L'\\');
        if (lastBackslash != std::wstring::npos) directory = path->substr(0, lastBackslash);
    }
    return DirectoryArgument::Omitted;
}

}  // namespace

void ParseCommandLine(int argumentCount, const wchar_t* const* arguments, CommandLineSettings& settings,
                      const ModulePathSource& modulePath) {
    for (int index = 1; index < argumentCount; ++index) {
        const std::wstring_view argument = arguments[index];
        if (argument == L"-a" && settings.runMode == RunMode::Interactive) {
            settings.runMode = RunMode::Silent;
        } else if (argument == L"-x" && settings.runMode == RunMode::Interactive) {
            settings.runMode = RunMode::Extract;
            // Whatever follows an omitted directory is not looked at.
            if (TakeDirectory(argumentCount, arguments, index, settings.outputDirectory, modulePath) ==
                DirectoryArgument::Omitted) {
                return;
            }
        } else if (argument == L"-l" && settings.logDirectory.empty()) {
            if (TakeDirectory(argumentCount, arguments, index, settings.logDirectory, modulePath) ==
                DirectoryArgument::Omitted) {
                return;
            }
        } else {
            settings.runMode = RunMode::Invalid;
            return;
        }
    }
}

}  // namespace corvantile
