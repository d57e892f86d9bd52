#include "host/Commands.h"

#include <cstdio>
#include <new>
#include <system_error>

#include "ExpOptF.h"
#include "host/HostError.h"
#include "host/Memory.h"
#include "host/Progress.h"
#include "host/Refusal.h"
#include "host/Transform.h"
#include "hostside/ShiftJis.h"
#include "platform/FileAccess.h"

namespace opxhost {

namespace {

// The largest picture a PCX header can describe: WindowXMax and WindowYMax
// are 16-bit, and each plane line's byte count (the width rounded up to an
// even number) must fit 16 bits too.
constexpr int32_t kMaxPcxWidth = 65534;
constexpr int32_t kMaxPcxHeight = 65536;

// The option panel's captions (Shift-JIS) come from the panel's own table.
static_assert(kMethodCount == pcx::kConvMethodItemCount, "one caption per method");

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// An input file named on the command line.
struct Input {
    std::string text;  // as given, for messages
    fs::path path;
    std::optional<std::string> pluginName;  // empty when the plug-in cannot be given the name
};

// Fails with kExitMissingInput unless text names a file the host can open.
Input openInput(const std::string& text) {
    Input input{text, pathFromText(text), std::nullopt};
    std::error_code error;
    if (fs::is_directory(input.path, error))
        throw HostError(kExitMissingInput, text + ": is a folder, not a file");
    // A FIFO or a device would block the open or the reads, or give bytes
    // that cannot be read a second time.
    if (pcx::platform::fileKind(input.path.c_str()) == pcx::platform::FileKind::Other)
        throw HostError(kExitMissingInput, text + ": is not a regular file");
    if (!File(openFile(input.path))) {
        const bool exists = fs::exists(input.path, error);
        throw HostError(kExitMissingInput,
                        text + (exists ? ": cannot be opened for reading" : ": no such file"));
    }
    input.pluginName = pluginFileName(input.path);
    return input;
}

bool hasPcxExtension(const fs::path& path) {
    const std::optional<FileFormat> format = formatNamed(pathText(path.extension()));
    return format && *format == FileFormat::Pcx;
}

void checkInterrupt() {
    if (interrupted()) throw HostError(kExitInterrupted, "interrupted");
}

// A name the plug-in cannot be given: in the Windows build it takes names in
// Shift-JIS only.
HostError notShiftJis(const std::string& text) {
    return HostError(kExitMissingInput,
                     text +
                         ": the plug-in takes only Shift-JIS names, and this one has a "
                         "character Shift-JIS cannot write: rename the file");
}

// Why the plug-in does not take an input as PCX, from the file's first 128
// bytes (the plug-in then gives no header report); empty for a file that is
// not meant as PCX.
std::string notPcxReason(const Input& input) {
    File file(openFile(input.path));
    if (!file) return {};
    return explainNotPcx(headerFromFile(file.get()), hasPcxExtension(input.path));
}

// The failures of an input that the plug-in does not take, or takes but
// cannot decode.
HostError notPcx(const Input& input) {
    const std::string reason = notPcxReason(input);
    return HostError(kExitNotPcx, input.text + ": not a PCX file the plug-in accepts" +
                                      (reason.empty() ? "" : ": " + reason));
}

// Why the plug-in refused the picture of a file whose header it took: its
// header report's fields, classified as the decoder classifies them.
Refusal refusalOf(const Plugin& plugin, const std::string& name) {
    if (const std::optional<pcx::PcxHeader> header = headerFromReport(plugin.report(name)))
        return explainRefusal(*header);
    return {kExitPcxRefused, "the plug-in gave no header report"};
}

HostError pcxRefused(const std::string& text, const Refusal& refusal) {
    return HostError(refusal.code, text + ": cannot decode this PCX file: " + refusal.reason);
}

// The picture of an input: through the plug-in when it takes the file as
// PCX, else read by the host itself.
Picture loadPicture(const Plugin& plugin, const Input& input) {
    if (!input.pluginName && hasPcxExtension(input.path)) throw notShiftJis(input.text);
    if (input.pluginName && plugin.accepts(*input.pluginName)) {
        Plugin::Image image = plugin.createImage(*input.pluginName);
        if (!image) throw pcxRefused(input.text, refusalOf(plugin, *input.pluginName));
        return pictureFromPlugin(*image);
    }
    File file(openFile(input.path));
    if (!file) throw HostError(kExitMissingInput, input.text + ": cannot be opened for reading");
    try {
        return readPicture(file.get());
    } catch (const HostError& error) {
        if (hasPcxExtension(input.path) && error.code() == kExitBadPicture) throw notPcx(input);
        throw HostError(error.code(), input.text + ": " + error.what());
    }
}

// An output, written by the rules the plug-in writes its own files by
// (platform/FileAccess.h): under a temporary name made exclusively beside it
// and put in its place only when complete, so that a failed or interrupted
// write never leaves a partial file under the output's name, an older file
// there survives, and a link planted at a temporary name is never followed.
// An output that is a link is written through it; one that exists and is
// not a regular file (a device, a FIFO) is written in place, never replaced.
class OutputFile {
public:
    explicit OutputFile(const std::string& text)
        : text_(text),
          final_(pathFromText(text)),
          special_(pcx::platform::fileKind(final_.c_str()) == pcx::platform::FileKind::Other),
          active_(replacement_) {}
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    const std::string& text() const { return text_; }
    // True when the output itself is written, without a temporary file.
    bool inPlace() const { return special_ || replacement_.inPlace(); }

    // The stream for the host's own writing.
    std::FILE* open() {
        if (!replacement_.open(final_.c_str())) fail();
        return replacement_.stream();
    }

    // The file the plug-in is to write: the temporary file, made here and
    // left empty, which the plug-in then replaces by its own rules; or the
    // output itself when it is not a regular file, for the plug-in to write
    // in place or refuse. Opening such an output here first would already
    // end a FIFO's stream for its reader.
    fs::path forPlugin() {
        if (special_) return final_;
        if (!replacement_.open(final_.c_str()) || !replacement_.closeStream()) fail();
        return fs::path(
            (replacement_.inPlace() ? replacement_.target() : replacement_.temporary()).view());
    }

    // Fails with kExitCannotWrite, saying why as well as it can tell.
    [[noreturn]] void fail() const {
        std::error_code error;
        const fs::path folder = final_.has_parent_path() ? final_.parent_path() : fs::path(".");
        if (!fs::is_directory(folder, error))
            throw HostError(kExitCannotWrite, text_ + ": cannot be written: the folder " +
                                                  pathText(folder) + " does not exist");
        if (fs::is_directory(final_, error))
            throw HostError(kExitCannotWrite, text_ + ": cannot be written: it is a folder");
        throw HostError(kExitCannotWrite, text_ + ": cannot be written");
    }

    // Puts the written file in the output's place; in place, closes it.
    void commit() {
        if (special_ && !replacement_.stream()) return;
        if (!replacement_.commit()) fail();
    }

private:
    std::string text_;
    fs::path final_;
    bool special_;
    // Removes the temporary file unless committed.
    pcx::platform::FileReplacement replacement_;
    // Abandons it also when memory runs out.
    ActiveOutput active_;
};

// The transform code for this run, with a note on standard error when the
// plug-in names none.
int32_t chooseCode(const Plugin& plugin, const ExportChoice& choice) {
    if (choice.methodOverride) return kMethodCodes[*choice.methodOverride];
    if (const std::optional<int32_t> code = plugin.transformCode()) return *code;
    static bool told = false;
    if (!told)
        printErr(
            "opxhost: note: the plug-in names no transform code (its stored method is not one "
            "of 0 to 3); writing full colour\n");
    told = true;
    return kCodeFullColour;
}

std::string describeImage(const HostImage& image) {
    if (image.kind == ImageKindRgb32) return "24-bit colour";
    return "8-bit indexed, " + std::to_string(image.palette.size()) + " colours";
}

std::string sizeText(int32_t width, int32_t height) {
    return std::to_string(width) + " x " + std::to_string(height);
}

// Writes picture as a PCX file through the export road: the transform code,
// the host's conversion, EXPORT_WriteToFile with the progress bar.
std::string writePcx(const Plugin& plugin, const Picture& picture, const std::string& outText,
                     const ExportChoice& choice) {
    if (picture.width > kMaxPcxWidth || picture.height > kMaxPcxHeight)
        throw HostError(kExitCannotWrite, outText + ": a picture of " +
                                              sizeText(picture.width, picture.height) +
                                              " does not fit a PCX file (at most " +
                                              sizeText(kMaxPcxWidth, kMaxPcxHeight) + ")");
    const int32_t code = chooseCode(plugin, choice);
    const HostImage image = transformPicture(code, picture);
    checkInterrupt();

    if (!pluginFileName(pathFromText(outText)))
        throw HostError(kExitCannotWrite,
                        outText +
                            ": cannot be written: the plug-in takes only Shift-JIS names, and "
                            "this one has a character Shift-JIS cannot write");
    OutputFile output(outText);
    const std::optional<std::string> name = pluginFileName(output.forPlugin());
    if (!name)
        throw HostError(kExitCannotWrite,
                        outText + ": cannot be written: the plug-in takes only Shift-JIS names");
    bool written = false;
    int32_t stoppedAt = 0;
    {
        WriteProgress progress(outText, image.height);
        const PluginImage record = image.record();
        const PluginWrite inPlugin;
        written = plugin.write(*name, record, WriteProgress::callback());
        if (progress.stopped()) stoppedAt = progress.stoppedAtRow();
    }
    // The plug-in has finished and closed its file; now opxhost may end.
    if (memoryRanOut()) endOutOfMemory();
    if (stoppedAt != 0)
        throw HostError(kExitInterrupted,
                        outText + ": interrupted before row " + std::to_string(stoppedAt) + " of " +
                            std::to_string(image.height) +
                            (output.inPlace() ? ": the output is incomplete"
                                              : ": the file is incomplete and was removed"));
    if (!written) output.fail();
    output.commit();
    return "transform code " + std::to_string(code) + ", " + describeImage(image);
}

void writeOther(const Picture& picture, const std::string& outText, FileFormat format) {
    checkInterrupt();
    OutputFile output(outText);
    bool outOfMemory = false;
    if (!writePicture(output.open(), picture, format, &outOfMemory)) {
        if (outOfMemory)
            throw HostError(kExitOutOfMemory, outText +
                                                  ": not enough memory to code the picture; "
                                                  "nothing was written");
        output.fail();
    }
    // An interruption while the picture was coded: the file is not kept.
    checkInterrupt();
    output.commit();
}

// Writes picture to outText in format; for PCX, how it was converted.
std::string savePicture(const Plugin& plugin, const Picture& picture, const std::string& outText,
                        FileFormat format, const ExportChoice& choice) {
    if (format == FileFormat::Pcx) return writePcx(plugin, picture, outText, choice);
    writeOther(picture, outText, format);
    return {};
}

// Runs work for each file; a failure is told and the next file follows. The
// result is the exit code of the first failure, or of an interruption, which
// ends the loop at once.
template <typename Work>
int forEachFile(const std::vector<std::string>& files, Work&& work) {
    int result = kExitOk;
    for (const std::string& file : files) {
        try {
            checkInterrupt();
            work(file);
        } catch (const HostError& error) {
            printErr(std::string("opxhost: ") + error.what() + "\n");
            if (error.code() == kExitInterrupted) return kExitInterrupted;
            if (result == kExitOk) result = error.code();
        } catch (const std::bad_alloc&) {
            // Only a size no allocation can have: a failed allocation ends
            // the process in the out-of-memory handler (Memory.h).
            printErr("opxhost: " + file + ": not enough memory for this picture\n");
            if (result == kExitOk) result = kExitOutOfMemory;
        }
    }
    return result;
}

// The output name for input in the target's format and folder, joined with
// the separator the folder is written with.
std::string outputFor(const Input& input, const ConvertTarget& target) {
    if (target.output) return *target.output;
    fs::path name = input.path.filename();
    name.replace_extension(formatExtension(*target.format));
    std::string folder = target.folder ? *target.folder : pathText(input.path.parent_path());
    if (folder.empty()) return pathText(name);
    const char last = folder.back();
    if (last != '/' && last != '\\')
        folder += folder.find('\\') != std::string::npos && folder.find('/') == std::string::npos
                      ? '\\'
                      : '/';
    return folder + pathText(name);
}

FileFormat outputFormat(const std::string& outText, const ConvertTarget& target) {
    if (target.format) return *target.format;
    // The command line was checked: a named output without --to has a known
    // extension.
    return *formatNamed(pathText(pathFromText(outText).extension()));
}

void makeFolder(const ConvertTarget& target) {
    if (!target.folder) return;
    std::error_code error;
    const fs::path folder = pathFromText(*target.folder);
    if (fs::is_directory(folder, error)) return;
    if (!fs::create_directories(folder, error))
        throw HostError(kExitCannotWrite, *target.folder + ": the folder cannot be made");
}

// text with margin before each line that is not empty.
std::string indented(const std::string& text, const std::string& margin) {
    std::string out;
    bool lineStart = true;
    for (char c : text) {
        if (lineStart && c != '\n') out += margin;
        out += c;
        lineStart = c == '\n';
    }
    if (!out.empty() && out.back() != '\n') out += '\n';
    return out;
}

std::string hex(int32_t value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "0x%X", static_cast<unsigned>(value));
    return buffer;
}

}  // namespace

std::string methodCaption(int method) {
    if (method < 0 || method >= kMethodCount) return {};
    return hostside::sjisToUtf8(pcx::kConvMethodItems[method]);
}

int runAbout(const Plugin& plugin) {
    const PluginIdentity id = plugin.identity();
    printOut("plug-in:     " + pathText(plugin.path()) + "\n" + "name:        " + id.name + "\n" +
             "identity:    " + hex(id.identity) + "\n" + "notice:      " + id.notice + "\n" +
             "description: " + indented(id.description, "             ").substr(13) +
             "import:      interface " + hex(id.importVersion) + ", extension \"" +
             id.importExtensions + "\"\n" + "export:      interface " + hex(id.exportVersion) +
             ", extension \"" + id.exportExtensions + "\"\n");
    return kExitOk;
}

int runInfo(const Plugin& plugin, const std::vector<std::string>& files) {
    bool first = true;
    return forEachFile(files, [&](const std::string& text) {
        if (!first) printOut("\n");
        first = false;
        const Input input = openInput(text);
        if (!input.pluginName) throw notShiftJis(text);
        const std::string& name = *input.pluginName;
        const std::string report = plugin.report(name);
        if (!plugin.accepts(name)) {
            const std::string reason = notPcxReason(input);
            printOut(text + ": not accepted by the plug-in" +
                     (reason.empty() ? "" : ": " + reason) + "\n" + indented(report, "    "));
            throw notPcx(input);
        }
        const Plugin::Image image = plugin.createImage(name);
        if (!image) {
            const Refusal refusal = refusalOf(plugin, name);
            printOut(text + ": header accepted, picture refused: " + refusal.reason + "\n" +
                     indented(report, "    "));
            throw pcxRefused(text, refusal);
        }
        std::string kind;
        if (image->kind == ImageKindRgb32)
            kind = "24-bit colour";
        else if (image->palette)
            kind = "indexed, " + std::to_string(image->paletteCount) + " colours";
        else
            kind = "indexed, no colour table (shown as grey)";
        // How the file holds it, from the header the report gives.
        if (const std::optional<pcx::PcxHeader> header = headerFromReport(report)) {
            if (hasAlphaPlane(*header)) kind += " (alpha dropped)";
            kind += ", " + storageText(*header);
        }
        printOut(text + ": accepted, " + sizeText(image->width, image->height) + ", " + kind +
                 "\n" + indented(report, "    "));
    });
}

int runConvert(const Plugin& plugin, const std::vector<std::string>& inputs,
               const ConvertTarget& target, const ExportChoice& choice) {
    try {
        makeFolder(target);
    } catch (const HostError& error) {
        printErr(std::string("opxhost: ") + error.what() + "\n");
        return error.code();
    }
    return forEachFile(inputs, [&](const std::string& text) {
        const Input input = openInput(text);
        const Picture picture = loadPicture(plugin, input);
        checkInterrupt();
        const std::string outText = outputFor(input, target);
        const std::string how =
            savePicture(plugin, picture, outText, outputFormat(outText, target), choice);
        printOut(text + " -> " + outText + " (" + sizeText(picture.width, picture.height) +
                 (how.empty() ? "" : ", " + how) + ")\n");
    });
}

int runPreview(const Plugin& plugin, const std::string& inputText, const ConvertTarget& target,
               int32_t boxWidth, int32_t boxHeight, const ExportChoice& choice) {
    return forEachFile({inputText}, [&](const std::string& text) {
        const Input input = openInput(text);
        if (!input.pluginName) throw notShiftJis(text);
        if (!plugin.accepts(*input.pluginName)) throw notPcx(input);
        Plugin::Image image = plugin.createPreview(*input.pluginName, boxWidth, boxHeight);
        if (!image) throw pcxRefused(text, refusalOf(plugin, *input.pluginName));
        const Picture picture = pictureFromPlugin(*image);
        image.reset();
        const std::string outText = *target.output;
        const std::string how =
            savePicture(plugin, picture, outText, outputFormat(outText, target), choice);
        printOut(text + " -> " + outText + " (preview " + sizeText(picture.width, picture.height) +
                 " for a " + sizeText(boxWidth, boxHeight) + " box" +
                 (how.empty() ? "" : ", " + how) + ")\n");
    });
}

int runOptions(const Plugin& plugin) {
    const std::optional<int32_t> code = plugin.transformCode();
    int method = -1;
    for (int m = 0; m < kMethodCount; ++m)
        if (code && *code == kMethodCodes[m]) method = m;
    if (method < 0) {
        printOut(code ? "stored method: unknown (transform code " + std::to_string(*code) + ")\n"
                      : "stored method: none of 0 to 3 (the plug-in names no transform code)\n");
        return kExitOk;
    }
    std::string text = "stored method: " + std::to_string(method) + " " + methodCaption(method) +
                       "\n" + "transform code: " + std::to_string(*code) + " (" +
                       describeCode(*code) + ")\n";
    printOut(text);
    return kExitOk;
}

}  // namespace opxhost
