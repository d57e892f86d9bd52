// opxhost's commands. Each returns the exit code (HostError.h); failures of
// one file are told on standard error as "opxhost: ..." lines.
#ifndef OPXHOST_COMMANDS_H
#define OPXHOST_COMMANDS_H

#include <optional>
#include <string>
#include <vector>

#include "host/Picture.h"
#include "host/Plugin.h"

namespace opxhost {

// The conversion methods of the plug-in's option panel, 0 to 3, and the
// transform code each one names.
constexpr int kMethodCount = 4;
constexpr int32_t kMethodCodes[kMethodCount] = {1, 5, 9, 10};

// How a PCX file is written: with the stored method's code (what
// EXPORT_BeforeTransform says), or with the code of a method given for this
// run only. The override is the host's own answer: the plug-in's method is
// not touched, so the method it saves when it is plugged out stays the
// stored one.
struct ExportChoice {
    std::optional<int> methodOverride;
};

// Where converted files go: one named output, or a format and a folder
// (empty: beside each input).
struct ConvertTarget {
    std::optional<std::string> output;
    std::optional<FileFormat> format;
    std::optional<std::string> folder;
};

int runAbout(const Plugin& plugin);
int runInfo(const Plugin& plugin, const std::vector<std::string>& files);
int runConvert(const Plugin& plugin, const std::vector<std::string>& inputs,
               const ConvertTarget& target, const ExportChoice& choice);
int runPreview(const Plugin& plugin, const std::string& input, const ConvertTarget& target,
               int32_t boxWidth, int32_t boxHeight, const ExportChoice& choice);
int runOptions(const Plugin& plugin);
#if defined(_WIN32)
// The export dialog with the plug-in's panel (Windows build only).
int runOptionsDialog(const Plugin& plugin);
#endif

// The panel caption of a method, in UTF-8.
std::string methodCaption(int method);

}  // namespace opxhost

#endif  // OPXHOST_COMMANDS_H
