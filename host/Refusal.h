// Why the plug-in refused a file, in words. The plug-in's exports say only
// that a picture was refused; its header report (IMPORT_ImageInformation)
// gives the header's fields, and the format unit's classifyHeader, the one
// decision of which layouts a full decode reads, says why a header is
// refused. The host asks that same question instead of keeping rules of its
// own.
#ifndef OPXHOST_REFUSAL_H
#define OPXHOST_REFUSAL_H

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "PcxFormat.h"
#include "host/HostError.h"

namespace opxhost {

// The header the plug-in's report gives (its fifteen "Label : value"
// lines), the fields the report does not carry left 0; empty when the text
// is not such a report (the fixed message for a file it does not take).
std::optional<pcx::PcxHeader> headerFromReport(const std::string& report);

// The header in the first 128 bytes of file; empty when it is shorter.
std::optional<pcx::PcxHeader> headerFromFile(std::FILE* file);

// Whether a header's picture has a fourth plane, of alpha, which the
// plug-in drops.
bool hasAlphaPlane(const pcx::PcxHeader& header);

// How a header stores its pixels: "4 planes of 1 bit", "1 plane of 8 bits,
// uncompressed".
std::string storageText(const pcx::PcxHeader& header);

// The layout a header describes, e.g. "16 colours in 4 planes of 1 bit",
// "2 planes of 4 bits" (a layout without a name) or, for a header of
// another encoding, "Encoding 2, neither uncompressed (0) nor run-length
// coded (1)".
std::string layoutText(const pcx::PcxHeader& header);

// Why a picture whose header the plug-in took was refused.
struct Refusal {
    ExitCode code;       // kExitPcxRefused, or kExitOutOfMemory
    std::string reason;  // e.g. "a layout the plug-in does not read: ..."
};
Refusal explainRefusal(const pcx::PcxHeader& header);

// Why a file whose name ends in .pcx, or whose first byte is a PCX maker's,
// is not a PCX file to the plug-in; empty when the header says nothing
// useful (another kind of picture).
std::string explainNotPcx(const std::optional<pcx::PcxHeader>& header, bool pcxName);

}  // namespace opxhost

#endif  // OPXHOST_REFUSAL_H
