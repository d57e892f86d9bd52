// opxhost: a reference host that drives the PCX plug-in from the command
// line, as an image application drives it: it loads the module by path,
// plugs it in, reads and writes PCX files only through its exports, makes the
// colour conversion the plug-in names before a write, and plugs it out.
// docs/opxhost.md describes the commands and the exit codes.
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

#include "host/Commands.h"
#include "host/HostError.h"
#include "host/Memory.h"
#include "host/Platform.h"
#include "host/Plugin.h"
#include "host/TestAids.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace opxhost {

namespace {

const char kUsage[] =
    "usage: opxhost [--plugin PATH] [--no-save] COMMAND ...\n"
    "\n"
    "  opxhost about                     what the plug-in says of itself\n"
    "  opxhost info FILE...              whether the plug-in accepts each file, and its\n"
    "                                    header report\n"
    "  opxhost convert IN... -o OUT      convert one file; OUT's extension gives the format\n"
    "  opxhost convert IN... --to FMT [--out-dir DIR]\n"
    "                                    convert each file to FMT (png, bmp, ppm or pcx),\n"
    "                                    into DIR or beside it\n"
    "  opxhost preview IN OUT [--box WxH]\n"
    "                                    the plug-in's reduced picture for a box (64x64)\n"
    "  opxhost options                   the stored conversion method\n"
    "  opxhost options --dialog          change it in an export dialog (Windows build)\n"
    "\n"
    "PCX files are read and written by the plug-in (--plugin PATH, else the Pcx.opx\n"
    "beside opxhost); PNG, BMP, PPM, JPEG, TGA and GIF are read, and PNG, BMP and\n"
    "PPM written, by the host. Writing PCX uses the stored method's conversion, or\n"
    "--method N (0 to 3) for this run only, without storing it.\n"
    "\n"
    "When it ends, opxhost lets the plug-in store its conversion method, as the\n"
    "host application does (the setting is the application's own); --no-save\n"
    "leaves the stored setting untouched.\n"
    "\n"
    "Exit codes: 0 done, 1 plug-in not loaded, 2 usage, 3 missing input, 4 not PCX,\n"
    "5 PCX variant refused, 6 unreadable picture, 7 output not written, 8 interrupted,\n"
    "9 not available in this build, 10 unexpected failure, 11 out of memory.\n";

struct Arguments {
    std::string command;
    std::vector<std::string> operands;
    std::optional<std::string> plugin, output, to, outDir, method, box;
    bool dialog = false;
    bool help = false;
    bool noSave = false;
};

[[noreturn]] void usageError(const std::string& message) {
    throw HostError(kExitUsage, message);
}

#if defined(OPXHOST_TEST_AIDS)
// The test-only program's hidden options (TestAids.h), each with its value as
// the next word: true when args[i] is one, with i moved past the value.
bool takeTestAid(const std::vector<std::string>& args, size_t& i) {
    const std::string& arg = args[i];
    if (arg != "--test-stop-at-row" && arg != "--test-out-of-memory-at-row" &&
        arg != "--test-stop-signal" && arg != "--test-dialog-clicks")
        return false;
    if (i + 1 >= args.size()) usageError(arg + " needs a value");
    const std::string& value = args[++i];
    TestAids& aids = testAids();
    if (arg == "--test-stop-at-row" || arg == "--test-out-of-memory-at-row") {
        char* end = nullptr;
        const long row = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || row < 1 || row > INT32_MAX)
            usageError(arg + " takes a row from 1");
        (arg == "--test-stop-at-row" ? aids.stopAtRow : aids.outOfMemoryAtRow) =
            static_cast<int32_t>(row);
    } else if (arg == "--test-stop-signal") {
        if (value == "TERM")
            aids.stopSignal = StopSignal::Terminate;
        else if (value == "HUP")
            aids.stopSignal = StopSignal::HangUp;
        else if (value == "INT")
            aids.stopSignal = StopSignal::Interrupt;
        else
            usageError("--test-stop-signal takes INT, TERM or HUP");
    } else {
        aids.dialogClicks = value;
    }
    return true;
}
#endif

Arguments parseArguments(const std::vector<std::string>& args) {
    Arguments parsed;
    struct ValueOption {
        const char* name;
        std::optional<std::string> Arguments::*slot;
    };
    const ValueOption valueOptions[] = {
        {"--plugin", &Arguments::plugin},  {"-o", &Arguments::output},
        {"--output", &Arguments::output},  {"--to", &Arguments::to},
        {"--out-dir", &Arguments::outDir}, {"--method", &Arguments::method},
        {"--box", &Arguments::box},
    };
    bool optionsEnded = false;
    std::vector<std::string> words;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            words.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            parsed.help = true;
            continue;
        }
        if (arg == "--dialog") {
            parsed.dialog = true;
            continue;
        }
        if (arg == "--no-save") {
            parsed.noSave = true;
            continue;
        }
#if defined(OPXHOST_TEST_AIDS)
        if (takeTestAid(args, i)) continue;
#endif
        bool known = false;
        for (const ValueOption& option : valueOptions) {
            const std::string name = option.name;
            std::optional<std::string> value;
            if (arg == name) {
                if (i + 1 >= args.size()) usageError(name + " needs a value");
                value = args[++i];
            } else if (arg.compare(0, name.size() + 1, name + "=") == 0) {
                value = arg.substr(name.size() + 1);
            } else {
                continue;
            }
            if (parsed.*option.slot) usageError(name + " is given twice");
            parsed.*option.slot = value;
            known = true;
            break;
        }
        if (!known) usageError("unknown option " + arg);
    }
    if (!words.empty()) {
        parsed.command = words.front();
        parsed.operands.assign(words.begin() + 1, words.end());
    }
    return parsed;
}

int parseMethod(const std::string& text) {
    if (text.size() != 1 || text[0] < '0' || text[0] >= '0' + kMethodCount)
        usageError("--method takes 0, 1, 2 or 3");
    return text[0] - '0';
}

int32_t parseSide(const std::string& text) {
    constexpr long kMaxSide = 65536;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 1 || value > kMaxSide)
        usageError("--box takes WIDTHxHEIGHT, each 1 to 65536");
    return static_cast<int32_t>(value);
}

// Options that only some commands take.
void allowOnly(const Arguments& args, bool output, bool to, bool method, bool box, bool dialog) {
    if (!output && args.output) usageError("-o is not an option of " + args.command);
    if (!to && args.to) usageError("--to is not an option of " + args.command);
    if (!to && args.outDir) usageError("--out-dir is not an option of " + args.command);
    if (!method && args.method) usageError("--method is not an option of " + args.command);
    if (!box && args.box) usageError("--box is not an option of " + args.command);
    if (!dialog && args.dialog) usageError("--dialog is not an option of " + args.command);
}

ConvertTarget convertTarget(const Arguments& args, bool single) {
    ConvertTarget target;
    if (args.to) {
        target.format = formatNamed(*args.to);
        if (!target.format) usageError("--to takes png, bmp, ppm or pcx");
    }
    if (args.output) {
        if (args.outDir) usageError("give either -o or --out-dir");
        if (!single) usageError("-o names one output: use --to and --out-dir for several inputs");
        target.output = args.output;
        if (!target.format && !formatNamed(pathText(pathFromText(*args.output).extension())))
            usageError(*args.output +
                       ": the extension names no format (png, bmp, ppm, pcx); add --to");
    } else if (!target.format) {
        usageError("give -o OUT, or --to FORMAT");
    }
    target.folder = args.outDir;
    return target;
}

int run(const std::vector<std::string>& argList) {
    const Arguments args = parseArguments(argList);
    if (args.help || args.command == "help") {
        printOut(kUsage);
        return kExitOk;
    }
    if (args.command.empty()) {
        printErr(kUsage);
        return kExitUsage;
    }
    const std::string& command = args.command;
    ExportChoice choice;
    if (args.method) choice.methodOverride = parseMethod(*args.method);

    // Check the command line whole before the plug-in is loaded.
    ConvertTarget target;
    int32_t boxWidth = 64, boxHeight = 64;
    if (command == "about") {
        allowOnly(args, false, false, false, false, false);
        if (!args.operands.empty()) usageError("about takes no files");
    } else if (command == "info") {
        allowOnly(args, false, false, false, false, false);
        if (args.operands.empty()) usageError("info needs at least one file");
    } else if (command == "convert") {
        allowOnly(args, true, true, true, false, false);
        if (args.operands.empty()) usageError("convert needs at least one input");
        target = convertTarget(args, args.operands.size() == 1);
    } else if (command == "preview") {
        allowOnly(args, false, true, true, true, false);
        if (args.outDir) usageError("preview writes one file: OUT");
        if (args.operands.size() != 2) usageError("preview takes IN and OUT");
        Arguments named = args;
        named.output = args.operands[1];
        target = convertTarget(named, true);
        if (args.box) {
            const size_t x = args.box->find_first_of("xX");
            if (x == std::string::npos) usageError("--box takes WIDTHxHEIGHT, e.g. 64x64");
            boxWidth = parseSide(args.box->substr(0, x));
            boxHeight = parseSide(args.box->substr(x + 1));
        }
    } else if (command == "options") {
        allowOnly(args, false, false, false, false, true);
        if (!args.operands.empty()) usageError("options takes no files");
#if !defined(_WIN32)
        if (args.dialog)
            throw HostError(kExitUnavailable,
                            "the export dialog is only in the Windows build (opxhost.exe)");
#endif
    } else {
        usageError("unknown command " + command);
    }

    installInterruptHandler();
    const Plugin plugin(args.plugin ? pathFromText(*args.plugin) : defaultPluginPath(),
                        !args.noSave);
    if (command == "about") return runAbout(plugin);
    if (command == "info") return runInfo(plugin, args.operands);
    if (command == "convert") return runConvert(plugin, args.operands, target, choice);
    if (command == "preview")
        return runPreview(plugin, args.operands[0], target, boxWidth, boxHeight, choice);
#if defined(_WIN32)
    if (args.dialog) return runOptionsDialog(plugin);
#endif
    return runOptions(plugin);
}

int runGuarded(const std::vector<std::string>& args) {
    try {
        return run(args);
    } catch (const HostError& error) {
        printErr(std::string("opxhost: ") + error.what() + "\n");
        if (error.code() == kExitUsage) printErr("run 'opxhost help' for the commands\n");
        return error.code();
    } catch (const std::exception& error) {
        printErr(std::string("opxhost: unexpected failure: ") + error.what() + "\n");
        return kExitUnexpected;
    }
}

}  // namespace

}  // namespace opxhost

#if defined(_WIN32)
int wmain(int argc, wchar_t** argv) {
    opxhost::installOutOfMemoryHandler();
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.push_back(opxhost::pathText(argv[i]));
    return opxhost::runGuarded(args);
}
#else
int main(int argc, char** argv) {
    opxhost::installOutOfMemoryHandler();
    return opxhost::runGuarded(std::vector<std::string>(argv + 1, argv + argc));
}
#endif
