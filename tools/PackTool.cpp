#include "tools/PackTool.h"

#include "tools/DisplayText.h"
#include "tools/PackageBuilder.h"
#include "tools/PackedUpdater.h"
#include "tools/PatchSummary.h"
#include "tools/TextEncoding.h"

#include <algorithm>
#include <exception>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <span>
#include <string_view>

namespace corvantile::pack {

namespace {

constexpr char kBuildUsage[] =
    R"(Usage: corvantile-pack build --stub STUB.exe --name NAME --version VERSION --output OUT.exe PATCH.msp...

Copies the updater stub (CorvantileUpdater.exe, which carries the updater's version resource) to OUT.exe and
appends an update package with the product name, the product version and the patches in the order given, each
under its file name. Sign OUT.exe afterwards: a signed stub is refused. Refuses a stub that is not the
updater, an empty name or version or one with a leading or trailing space, any input that is no patch
package, a patch without target products, two patches with one patch code, the same file given twice, a file
name longer than 122 UTF-16 code units, and an output that is an input; warns when the patches fall into
groups that share no target product.
)";
constexpr char kListUsage[] =
    R"(Usage: corvantile-pack list [--json] UPDATER.exe

Prints the product name and version, the package offset, each update file's index, name, size, data offset,
patch code and target product codes (or why it is no usable patch), and whether a signature follows the
package. --json prints one JSON object; the text form escapes what a terminal would not show as it is.
)";
constexpr char kExtractUsage[] =
    R"(Usage: corvantile-pack extract UPDATER.exe DIRECTORY

Writes the update files into DIRECTORY, creating it when missing. Never overwrites a file.
)";
constexpr char kUsage[] =
    R"(Usage:
  corvantile-pack build --stub STUB.exe --name NAME --version VERSION --output OUT.exe PATCH.msp...
  corvantile-pack list [--json] UPDATER.exe
  corvantile-pack extract UPDATER.exe DIRECTORY
  corvantile-pack --help
  corvantile-pack COMMAND --help

Options end at "--". Exit codes: 0 success, 1 bad input (nothing was written), 2 usage error.
)";

// A command's arguments split into options and operands. Every option takes a value except the flags;
// "--" ends the options, so that operands may start with a dash.
struct Arguments {
    std::map<std::u16string, std::u16string, std::less<>> values;
    std::set<std::u16string, std::less<>> flags;
    std::vector<std::u16string> operands;
    bool help = false;
};

using OptionNames = std::vector<std::u16string_view>;

bool ParseArguments(std::span<const std::u16string> args, const OptionNames& valueOptions,
                    const OptionNames& flagOptions, Arguments& parsed, std::string& error) {
    const auto isOneOf = [](std::u16string_view arg, const OptionNames& options) {
        return std::find(options.begin(), options.end(), arg) != options.end();
    };
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::u16string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != u'-') {
            parsed.operands.push_back(arg);
        } else if (arg == u"--") {
            optionsEnded = true;
        } else if (arg == u"--help" || arg == u"-h") {
            parsed.help = true;
        } else if (isOneOf(arg, flagOptions)) {
            parsed.flags.insert(arg);
        } else if (!isOneOf(arg, valueOptions)) {
            error = "unknown option " + Utf8FromUtf16(arg);
            return false;
        } else if (i + 1 == args.size()) {
            error = "option " + Utf8FromUtf16(arg) + " needs a value";
            return false;
        } else if (!parsed.values.emplace(arg, args[++i]).second) {
            error = "option " + Utf8FromUtf16(arg) + " is given twice";
            return false;
        }
    }
    return true;
}

int ReportUsageError(std::ostream& err, const std::string& message) {
    err << "corvantile-pack: " << message << " (see corvantile-pack --help)\n";
    return kExitUsage;
}

int ReportFailure(std::ostream& err, const std::string& message) {
    err << "corvantile-pack: " << message << '\n';
    return kExitBadInput;
}

int RunBuild(const Arguments& args, std::ostream& out, std::ostream& err) {
    BuildRequest request;
    for (const char16_t* option : {u"--stub", u"--name", u"--version", u"--output"}) {
        if (args.values.count(option) == 0) return ReportUsageError(err, "build needs " + Utf8FromUtf16(option));
    }
    if (args.operands.empty()) return ReportUsageError(err, "build needs at least one update file");
    request.stub = PathFromUtf16(args.values.find(u"--stub")->second);
    request.productName = args.values.find(u"--name")->second;
    request.productVersion = args.values.find(u"--version")->second;
    request.output = PathFromUtf16(args.values.find(u"--output")->second);
    for (const std::u16string& operand : args.operands) request.updateFiles.push_back(PathFromUtf16(operand));

    std::string error;
    std::vector<std::string> warnings;
    if (!BuildPackage(request, warnings, error)) return ReportFailure(err, error);
    for (const std::string& warning : warnings) err << "corvantile-pack: warning: " << warning << '\n';
    out << "Wrote " << DisplayPath(request.output) << " with " << request.updateFiles.size() << " update file(s)\n";
    return kExitSuccess;
}

void PrintPatchSummary(const PatchSummary& summary, std::ostream& out) {
    if (!summary.patch) {
        out << "      " << summary.problem << '\n';
        return;
    }
    out << "      patch code " << (summary.patchCode.empty() ? "none" : DisplayText(summary.patchCode)) << ", targets";
    for (const std::u16string& target : summary.targetProductCodes) out << ' ' << DisplayText(target);
    if (summary.targetProductCodes.empty()) out << " none";
    out << '\n';
    if (!summary.problem.empty()) out << "      " << summary.problem << '\n';
}

// What the package carries may hold anything: DisplayText escapes what a terminal would not show as it is.
void PrintContents(const PackageContents& contents, const std::vector<PatchSummary>& summaries, std::ostream& out) {
    out << "Product name:    " << DisplayText(contents.productName) << '\n'
        << "Product version: " << DisplayText(contents.productVersion) << '\n'
        << "Package offset:  " << contents.packageOffset << '\n'
        << "Update files:    " << contents.entries.size() << '\n';
    for (std::size_t i = 0; i < contents.entries.size(); ++i) {
        const PackageEntry& entry = contents.entries[i];
        out << "  [" << i << "] " << DisplayText(entry.fileName) << ": " << entry.dataLength << " bytes at offset "
            << entry.dataOffset << '\n';
        PrintPatchSummary(summaries[i], out);
    }
    if (contents.certificate) {
        out << "Signature:       certificate table at offset " << contents.certificate->offset << ", "
            << contents.certificate->bytes << " bytes"
            << (contents.certificate->reachesPastFileEnd ? ", reaching past the end of the file" : "") << '\n';
    } else {
        out << "Signature:       none\n";
    }
}

void PrintContentsAsJson(const PackageContents& contents, const std::vector<PatchSummary>& summaries,
                         std::ostream& out) {
    out << "{\"productName\":" << JsonString(contents.productName)
        << ",\"productVersion\":" << JsonString(contents.productVersion)
        << ",\"packageOffset\":" << contents.packageOffset << ",\"entries\":[";
    for (std::size_t i = 0; i < contents.entries.size(); ++i) {
        const PackageEntry& entry = contents.entries[i];
        out << (i == 0 ? "" : ",") << "{\"index\":" << i << ",\"fileName\":" << JsonString(entry.fileName)
            << ",\"size\":" << entry.dataLength << ",\"offset\":" << entry.dataOffset << ",\"targets\":[";
        const PatchSummary& summary = summaries[i];
        for (std::size_t k = 0; k < summary.targetProductCodes.size(); ++k) {
            out << (k == 0 ? "" : ",") << JsonString(summary.targetProductCodes[k]);
        }
        const std::u16string problem = Utf16FromUtf8(summary.problem).value_or(u"");
        out << "],\"patchCode\":" << (summary.patchCode.empty() ? "null" : JsonString(summary.patchCode))
            << ",\"problem\":" << (problem.empty() ? "null" : JsonString(problem)) << '}';
    }
    out << "],\"signature\":";
    if (contents.certificate) {
        out << "{\"offset\":" << contents.certificate->offset << ",\"size\":" << contents.certificate->bytes
            << ",\"reachesPastFileEnd\":" << (contents.certificate->reachesPastFileEnd ? "true" : "false") << '}';
    } else {
        out << "null";
    }
    out << "}\n";
}

int RunList(const Arguments& args, std::ostream& out, std::ostream& err) {
    if (args.operands.size() != 1) return ReportUsageError(err, "list needs exactly one packed updater");
    PackageContents contents;
    std::string error;
    const std::filesystem::path package = PathFromUtf16(args.operands[0]);
    if (!ReadPackage(package, contents, error)) return ReportFailure(err, error);
    std::vector<PatchSummary> summaries;
    for (const PackageEntry& entry : contents.entries) {
        summaries.push_back(ReadPackedPatchSummary(package, entry.dataOffset, entry.dataLength));
    }
    if (args.flags.count(u"--json") != 0) {
        PrintContentsAsJson(contents, summaries, out);
    } else {
        PrintContents(contents, summaries, out);
    }
    // Listed as the updater reads it, and still refused: shipped, its signature would not verify.
    if (contents.certificate && contents.certificate->reachesPastFileEnd) {
        return ReportFailure(
            err, DisplayPath(package) + ": " + DescribeDamagedSignature(*contents.certificate, contents.fileBytes));
    }
    return kExitSuccess;
}

int RunExtract(const Arguments& args, std::ostream& out, std::ostream& err) {
    if (args.operands.size() != 2) return ReportUsageError(err, "extract needs a packed updater and a directory");
    const std::filesystem::path package = PathFromUtf16(args.operands[0]);
    const std::filesystem::path directory = PathFromUtf16(args.operands[1]);
    PackageContents contents;
    std::string error;
    if (!ReadPackage(package, contents, error)) return ReportFailure(err, error);
    if (contents.certificate && contents.certificate->reachesPastFileEnd) {
        return ReportFailure(
            err, DisplayPath(package) + ": " + DescribeDamagedSignature(*contents.certificate, contents.fileBytes));
    }
    if (!ExtractPackage(package, contents, directory, error)) return ReportFailure(err, error);
    out << "Extracted " << contents.entries.size() << " update file(s) into " << DisplayPath(directory) << '\n';
    return kExitSuccess;
}

int Run(const std::vector<std::u16string>& args, std::ostream& out, std::ostream& err) {
    if (args.empty()) return ReportUsageError(err, "no command given");
    const std::u16string& command = args[0];
    if (command == u"--help" || command == u"-h" || command == u"help") {
        out << kUsage << '\n' << kBuildUsage << '\n' << kListUsage << '\n' << kExtractUsage;
        return kExitSuccess;
    }
    struct Command {
        std::u16string_view name;
        OptionNames valueOptions;
        OptionNames flagOptions;
        int (*run)(const Arguments&, std::ostream&, std::ostream&);
        const char* usage;
    };
    static const Command kCommands[] = {
        {u"build", {u"--stub", u"--name", u"--version", u"--output"}, {}, RunBuild, kBuildUsage},
        {u"list", {}, {u"--json"}, RunList, kListUsage},
        {u"extract", {}, {}, RunExtract, kExtractUsage},
    };
    for (const Command& known : kCommands) {
        if (known.name != command) continue;
        Arguments parsed;
        std::string error;
        if (!ParseArguments(std::span(args).subspan(1), known.valueOptions, known.flagOptions, parsed, error)) {
            return ReportUsageError(err, error);
        }
        if (parsed.help) {
            out << known.usage;
            return kExitSuccess;
        }
        return known.run(parsed, out, err);
    }
    return ReportUsageError(err, "unknown command " + Utf8FromUtf16(command));
}

}  // namespace

int RunPackTool(const std::vector<std::u16string>& args, std::ostream& out, std::ostream& err) {
    // Out of memory, or a failure of the standard library that reports by throwing: one line, no output left
    // behind (the pending output removes itself while the exception unwinds).
    try {
        return Run(args, out, err);
    } catch (const std::exception& failure) {
        return ReportFailure(err, failure.what());
    }
}

}  // namespace corvantile::pack
