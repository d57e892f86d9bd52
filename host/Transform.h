// The conversions a host makes before EXPORT_WriteToFile, one per transform
// code that EXPORT_BeforeTransform can name.
//
//   code  conversion                                   result
//    1    everything in full colour                    kind 5
//    5    full colour, and 256 colours where possible  kind 1 when the picture has at most
//                                                      256 distinct colours (exact), else kind 5
//    9    optimised 256 colours, dithered              kind 1: the picture's own colours when
//                                                      it has at most 256, else a palette made
//                                                      for it (host/Quantise.cpp), the same in
//                                                      both builds
//   10    forced to a fixed 256-colour palette         kind 1, each pixel the nearest colour
//
// The fixed palette is the 6 x 6 x 6 colour cube with the levels 0, 51, 102,
// 153, 204 and 255 (entry 36 r + 6 g + b for levels r, g, b), then 40 greys
// that split each of the five gaps between the cube's greys into nine equal
// steps (6, 11, 17, 23, 28, 34, 40, 45, then 57, 62, ... up to 249). Nearest
// means the smallest sum of squared red, green and blue differences; of equal
// ones the lowest entry wins.
#ifndef OPXHOST_TRANSFORM_H
#define OPXHOST_TRANSFORM_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "United.h"
#include "host/Picture.h"

namespace opxhost {

constexpr int32_t kCodeFullColour = 1;
constexpr int32_t kCodeUpTo256 = 5;
constexpr int32_t kCodeOptimised256 = 9;
constexpr int32_t kCodeFixed256 = 10;

// An indexed picture holds at most this many colours.
constexpr int kMaxPaletteColours = 256;

// A converted picture that owns its pixels and palette; record() lends them
// to the plug-in for one write.
struct HostImage {
    ImageKind kind = ImageKindRgb32;
    int32_t width = 0;
    int32_t height = 0;
    std::vector<uint8_t> pixels;    // one index, or one 0x00RRGGBB word (B, G, R, 0), a pixel
    std::vector<uint32_t> palette;  // kind 1 only

    PluginImage record() const;
};

// The transform code's conversion of picture. Throws HostError
// (kExitUnavailable) for a code the host does not know.
HostImage transformPicture(int32_t code, const Picture& picture);

// A short English name of the conversion, e.g. "optimised 256 colours".
std::string describeCode(int32_t code);

// Every code's conversion on its own.
HostImage toFullColour(const Picture& picture);
HostImage toExactColours(const Picture& picture);
HostImage toOptimisedPalette(const Picture& picture);
HostImage toFixedPalette(const Picture& picture);

// The picture indexed with exactly its own colours, in ascending 0xRRGGBB
// order, or nothing when it has more than 256.
std::optional<HostImage> toOwnColours(const Picture& picture);

// The fixed palette, as 0x00RRGGBB values.
const std::array<uint32_t, kMaxPaletteColours>& fixedPalette();

}  // namespace opxhost

#endif  // OPXHOST_TRANSFORM_H
