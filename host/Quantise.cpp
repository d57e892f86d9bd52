// Code 9's conversion: an optimised palette of up to 256 colours with
// dithering, made by libimagequant where the build has it. The Windows build
// has no such library (there is no mingw-w64 package of it) and refuses the
// conversion with its own exit code rather than making a poorer one.
#include <memory>

#include "host/HostError.h"
#include "host/Transform.h"

#if OPXHOST_HAVE_IMAGEQUANT
#include <libimagequant.h>
#endif

namespace opxhost {

#if OPXHOST_HAVE_IMAGEQUANT

namespace {

struct AttrRelease {
    void operator()(liq_attr* attr) const { liq_attr_destroy(attr); }
};
struct ImageRelease {
    void operator()(liq_image* image) const { liq_image_destroy(image); }
};
struct ResultRelease {
    void operator()(liq_result* result) const { liq_result_destroy(result); }
};

[[noreturn]] void quantiserFailed(const char* what) {
    throw HostError(kExitUnavailable, std::string("libimagequant could not ") + what);
}

}  // namespace

bool haveQuantiser() {
    return true;
}

HostImage toOptimisedPalette(const Picture& picture) {
    constexpr float kFullDithering = 1.0f;
    constexpr double kSrgbGamma = 0.0;  // libimagequant's word for "the usual sRGB"

    // libimagequant reads red, green, blue, alpha; every pixel is opaque.
    const size_t count = static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height);
    std::vector<uint8_t> rgba(count * 4);
    for (size_t i = 0; i < count; ++i) {
        rgba[4 * i] = picture.rgb[3 * i];
        rgba[4 * i + 1] = picture.rgb[3 * i + 1];
        rgba[4 * i + 2] = picture.rgb[3 * i + 2];
        rgba[4 * i + 3] = 255;
    }

    std::unique_ptr<liq_attr, AttrRelease> attr(liq_attr_create());
    if (!attr || liq_set_max_colors(attr.get(), kMaxPaletteColours) != LIQ_OK)
        quantiserFailed("start");
    std::unique_ptr<liq_image, ImageRelease> input(
        liq_image_create_rgba(attr.get(), rgba.data(), picture.width, picture.height, kSrgbGamma));
    if (!input) quantiserFailed("take the picture");
    liq_result* made = nullptr;
    if (liq_image_quantize(input.get(), attr.get(), &made) != LIQ_OK || !made)
        quantiserFailed("make a palette");
    std::unique_ptr<liq_result, ResultRelease> result(made);
    liq_set_dithering_level(result.get(), kFullDithering);

    HostImage image;
    image.kind = ImageKindIndexed;
    image.width = picture.width;
    image.height = picture.height;
    image.pixels.resize(count);
    if (liq_write_remapped_image(result.get(), input.get(), image.pixels.data(), count) != LIQ_OK)
        quantiserFailed("map the picture");
    // The palette is read after the remapping, which may still refine it.
    const liq_palette* palette = liq_get_palette(result.get());
    for (unsigned i = 0; i < palette->count; ++i) {
        const liq_color& c = palette->entries[i];
        image.palette.push_back((uint32_t{c.r} << 16) | (uint32_t{c.g} << 8) | c.b);
    }
    return image;
}

#else

bool haveQuantiser() {
    return false;
}

HostImage toOptimisedPalette(const Picture&) {
    throw HostError(kExitUnavailable,
                    "optimised 256 colours (transform code 9) needs libimagequant, which this "
                    "Windows build does not have; use --method 3 (fixed 256-colour palette) or "
                    "the native build");
}

#endif

}  // namespace opxhost
