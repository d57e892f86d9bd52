#include "host/Transform.h"

#include <algorithm>

#include "host/HostError.h"

namespace opxhost {

namespace {

constexpr int kCubeLevels = 6;
constexpr int kCubeStep = 51;  // 255 / (kCubeLevels - 1)
constexpr int kCubeColours = kCubeLevels * kCubeLevels * kCubeLevels;
constexpr int kGreysPerGap = 8;
constexpr int kExtraGreys = kMaxPaletteColours - kCubeColours;
static_assert(kExtraGreys == kGreysPerGap * (kCubeLevels - 1), "the palette has 256 entries");

uint32_t colourOf(const uint8_t* rgb) {
    return (uint32_t{rgb[0]} << 16) | (uint32_t{rgb[1]} << 8) | rgb[2];
}

uint32_t grey(int level) {
    const uint32_t v = static_cast<uint32_t>(level);
    return (v << 16) | (v << 8) | v;
}

int squaredDistance(const uint8_t* rgb, uint32_t colour) {
    const int dr = rgb[0] - static_cast<int>((colour >> 16) & 0xFF);
    const int dg = rgb[1] - static_cast<int>((colour >> 8) & 0xFF);
    const int db = rgb[2] - static_cast<int>(colour & 0xFF);
    return dr * dr + dg * dg + db * db;
}

std::array<uint32_t, kMaxPaletteColours> makeFixedPalette() {
    std::array<uint32_t, kMaxPaletteColours> palette{};
    int entry = 0;
    for (int r = 0; r < kCubeLevels; ++r)
        for (int g = 0; g < kCubeLevels; ++g)
            for (int b = 0; b < kCubeLevels; ++b)
                palette[entry++] = (static_cast<uint32_t>(r * kCubeStep) << 16) |
                                   (static_cast<uint32_t>(g * kCubeStep) << 8) |
                                   static_cast<uint32_t>(b * kCubeStep);
    for (int gap = 0; gap < kCubeLevels - 1; ++gap)
        for (int step = 1; step <= kGreysPerGap; ++step)
            // gap * 51 + 51 * step / 9, rounded to the nearest level.
            palette[entry++] = grey(gap * kCubeStep + (kCubeStep * step + (kGreysPerGap + 1) / 2) /
                                                          (kGreysPerGap + 1));
    return palette;
}

// The entry of the fixed palette nearest to rgb. The nearest cube colour is
// found channel by channel (the cube is a grid), the nearest extra grey by
// the mean of the channels (the distance to grey v grows with |v - mean|);
// the nearer of the two wins, the cube on a tie (its entries come first).
uint8_t nearestFixedEntry(const uint8_t* rgb) {
    const std::array<uint32_t, kMaxPaletteColours>& palette = fixedPalette();
    auto cubeLevel = [](int value) { return (value + kCubeStep / 2) / kCubeStep; };
    const int cubeEntry = 36 * cubeLevel(rgb[0]) + 6 * cubeLevel(rgb[1]) + cubeLevel(rgb[2]);

    int greyEntry = kCubeColours;
    int greyDistance = squaredDistance(rgb, palette[greyEntry]);
    for (int entry = kCubeColours + 1; entry < kMaxPaletteColours; ++entry) {
        const int distance = squaredDistance(rgb, palette[entry]);
        if (distance < greyDistance) {
            greyDistance = distance;
            greyEntry = entry;
        }
    }
    return static_cast<uint8_t>(
        squaredDistance(rgb, palette[cubeEntry]) <= greyDistance ? cubeEntry : greyEntry);
}

HostImage indexedImage(const Picture& picture) {
    HostImage image;
    image.kind = ImageKindIndexed;
    image.width = picture.width;
    image.height = picture.height;
    image.pixels.resize(static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height));
    return image;
}

}  // namespace

PluginImage HostImage::record() const {
    PluginImage image{};
    image.kind = kind;
    image.pixels = const_cast<uint8_t*>(pixels.data());  // the plug-in only reads it
    image.stride = kind == ImageKindIndexed ? width : width * 4;
    image.width = width;
    image.height = height;
    image.palette = palette.empty() ? nullptr : const_cast<uint32_t*>(palette.data());
    image.paletteCount = static_cast<int32_t>(palette.size());
    return image;
}

const std::array<uint32_t, kMaxPaletteColours>& fixedPalette() {
    static const std::array<uint32_t, kMaxPaletteColours> palette = makeFixedPalette();
    return palette;
}

HostImage toFullColour(const Picture& picture) {
    HostImage image;
    image.kind = ImageKindRgb32;
    image.width = picture.width;
    image.height = picture.height;
    const size_t count = static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height);
    image.pixels.resize(count * 4);
    for (size_t i = 0; i < count; ++i) {
        // 0x00RRGGBB as a little-endian word: blue, green, red, 0.
        image.pixels[4 * i] = picture.rgb[3 * i + 2];
        image.pixels[4 * i + 1] = picture.rgb[3 * i + 1];
        image.pixels[4 * i + 2] = picture.rgb[3 * i];
        image.pixels[4 * i + 3] = 0;
    }
    return image;
}

std::optional<HostImage> toOwnColours(const Picture& picture) {
    // The distinct colours, kept sorted; one more than fits ends the count.
    std::vector<uint32_t> colours;
    colours.reserve(kMaxPaletteColours + 1);
    const size_t count = static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height);
    for (size_t i = 0; i < count && colours.size() <= kMaxPaletteColours; ++i) {
        const uint32_t colour = colourOf(&picture.rgb[3 * i]);
        auto at = std::lower_bound(colours.begin(), colours.end(), colour);
        if (at == colours.end() || *at != colour) colours.insert(at, colour);
    }
    if (colours.size() > kMaxPaletteColours) return std::nullopt;

    HostImage image = indexedImage(picture);
    for (size_t i = 0; i < count; ++i) {
        const uint32_t colour = colourOf(&picture.rgb[3 * i]);
        image.pixels[i] = static_cast<uint8_t>(
            std::lower_bound(colours.begin(), colours.end(), colour) - colours.begin());
    }
    image.palette = std::move(colours);
    return image;
}

HostImage toExactColours(const Picture& picture) {
    if (std::optional<HostImage> exact = toOwnColours(picture)) return std::move(*exact);
    return toFullColour(picture);
}

HostImage toFixedPalette(const Picture& picture) {
    HostImage image = indexedImage(picture);
    const size_t count = image.pixels.size();
    for (size_t i = 0; i < count; ++i) image.pixels[i] = nearestFixedEntry(&picture.rgb[3 * i]);
    image.palette.assign(fixedPalette().begin(), fixedPalette().end());
    return image;
}

HostImage transformPicture(int32_t code, const Picture& picture) {
    switch (code) {
        case kCodeFullColour:
            return toFullColour(picture);
        case kCodeUpTo256:
            return toExactColours(picture);
        case kCodeOptimised256:
            return toOptimisedPalette(picture);
        case kCodeFixed256:
            return toFixedPalette(picture);
        default:
            throw HostError(kExitUnavailable, "the host knows no conversion for transform code " +
                                                  std::to_string(code));
    }
}

std::string describeCode(int32_t code) {
    switch (code) {
        case kCodeFullColour:
            return "full colour";
        case kCodeUpTo256:
            return "256 colours where possible, else full colour";
        case kCodeOptimised256:
            return "optimised 256 colours";
        case kCodeFixed256:
            return "fixed 256-colour palette";
        default:
            return "unknown conversion";
    }
}

}  // namespace opxhost
