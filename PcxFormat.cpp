// PcxFormat: the header's parser and writer, field by field at the offsets
// drawn in PcxFormat.h.
#include "PcxFormat.h"

#include <cstring>

namespace pcx {

namespace {

uint16_t readLe16(const uint8_t* at) {
    return static_cast<uint16_t>(at[0] | at[1] << 8);
}

void storeLe16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value & 0xFF);
    at[1] = static_cast<uint8_t>(value >> 8);
}

}  // namespace

PcxHeader parsePcxHeader(const uint8_t* bytes) {
    PcxHeader header;
    header.manufacturer = bytes[0];
    header.version = bytes[1];
    header.encoding = bytes[2];
    header.bitsPerPixel = bytes[3];
    header.windowXMin = readLe16(bytes + 4);
    header.windowYMin = readLe16(bytes + 6);
    header.windowXMax = readLe16(bytes + 8);
    header.windowYMax = readLe16(bytes + 10);
    header.hDpi = readLe16(bytes + 12);
    header.vDpi = readLe16(bytes + 14);
    std::memcpy(header.colormap, bytes + 16, sizeof header.colormap);
    header.reserved = bytes[64];
    header.nPlanes = bytes[65];
    header.bytesPerLine = readLe16(bytes + 66);
    header.paletteInfo = readLe16(bytes + 68);
    header.hScreenSize = readLe16(bytes + 70);
    header.vScreenSize = readLe16(bytes + 72);
    std::memcpy(header.filler, bytes + 74, sizeof header.filler);
    return header;
}

void writePcxHeader(const PcxHeader& header, uint8_t* bytes) {
    bytes[0] = header.manufacturer;
    bytes[1] = header.version;
    bytes[2] = header.encoding;
    bytes[3] = header.bitsPerPixel;
    storeLe16(bytes + 4, header.windowXMin);
    storeLe16(bytes + 6, header.windowYMin);
    storeLe16(bytes + 8, header.windowXMax);
    storeLe16(bytes + 10, header.windowYMax);
    storeLe16(bytes + 12, header.hDpi);
    storeLe16(bytes + 14, header.vDpi);
    std::memcpy(bytes + 16, header.colormap, sizeof header.colormap);
    bytes[64] = header.reserved;
    bytes[65] = header.nPlanes;
    storeLe16(bytes + 66, header.bytesPerLine);
    storeLe16(bytes + 68, header.paletteInfo);
    storeLe16(bytes + 70, header.hScreenSize);
    storeLe16(bytes + 72, header.vScreenSize);
    std::memcpy(bytes + 74, header.filler, sizeof header.filler);
}

}  // namespace pcx
