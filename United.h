// United: what import and export share at the plug-in boundary.
//
// The host drives the module only through exported functions. Every argument
// and result is 32 bits wide in the Windows build (an integer, a pointer or a
// window handle), and every export and every host callback uses the Windows
// standard calling convention: the callee removes its arguments. The native
// build offers the same names with C linkage and the platform's own
// convention, so that one source serves both.
//
// This header is also what a host includes: the image record, the callback
// shapes and the identity exports. It needs nothing but <cstdint>.
#ifndef PCX_UNITED_H
#define PCX_UNITED_H

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define PCX_CALL __stdcall
// The export table comes from Pcx.def (undecorated names, fixed ordinals).
#define PCX_EXPORT extern "C"
#else
#define PCX_CALL
#define PCX_EXPORT extern "C" __attribute__((visibility("default")))
#endif

// An opaque window handle of the host (HWND in the Windows build).
typedef void* PcxWindow;

// The kinds of picture that cross the boundary.
enum ImageKind : int32_t {
    // One byte per pixel, an index into the palette.
    ImageKindIndexed = 1,
    // One little-endian 32-bit word per pixel, 0x00RRGGBB (bytes B, G, R, 0).
    ImageKindRgb32 = 5,
};

// The one record in which a picture crosses the boundary. Its layout is part
// of the host protocol: seven 32-bit fields in the Windows build. Row r starts
// at pixels + r * stride; row 0 is the top scanline.
struct PluginImage {
    int32_t kind;          // an ImageKind
    uint8_t* pixels;       // first byte of the top row
    int32_t stride;        // bytes from one row's start to the next
    int32_t width;         // pixels per row
    int32_t height;        // rows
    uint32_t* palette;     // 0x00RRGGBB colour values, or null
    int32_t paletteCount;  // entries of the palette that count
};

#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(PluginImage) == 28, "the host expects a 28-byte record");
static_assert(offsetof(PluginImage, kind) == 0, "record layout");
static_assert(offsetof(PluginImage, pixels) == 4, "record layout");
static_assert(offsetof(PluginImage, stride) == 8, "record layout");
static_assert(offsetof(PluginImage, width) == 12, "record layout");
static_assert(offsetof(PluginImage, height) == 16, "record layout");
static_assert(offsetof(PluginImage, palette) == 20, "record layout");
static_assert(offsetof(PluginImage, paletteCount) == 24, "record layout");
#endif

// Host callbacks. The plug-in never removes their arguments itself.
typedef void(PCX_CALL* TextCallback)(const char* text);
typedef void(PCX_CALL* VerboseCallback)(int32_t identity, const char* name, const char* notice,
                                        const char* description);
// Called with the 1-based scanline about to be written; non-zero asks to stop.
typedef int32_t(PCX_CALL* ProgressCallback)(int32_t row);

// Lifecycle hooks: load and save the stored export option.
PCX_EXPORT void PCX_CALL PLUGINCALLBACK(int32_t unused);
PCX_EXPORT void PCX_CALL PLUGOUTCALLBACK(void);

// Identity and capabilities. None of these touches a file, the registry or
// any state.
PCX_EXPORT void PCX_CALL UNITED_SupportedInformation(int32_t* importSupported,
                                                     int32_t* exportSupported);
PCX_EXPORT void PCX_CALL UNITED_Verbose(VerboseCallback callback);
PCX_EXPORT void PCX_CALL EXPORT_InterfaceVersion(int32_t* version);
PCX_EXPORT void PCX_CALL EXPORT_SupportedExtensions(TextCallback callback);
PCX_EXPORT void PCX_CALL IMPORT_InterfaceVersion(int32_t* version);
PCX_EXPORT void PCX_CALL IMPORT_SupportedExtensions(TextCallback callback);

#ifdef __cplusplus
namespace pcx {

// Identity constants, shared with the tests and the reference host.
constexpr int32_t kInterfaceVersion = 0x10000;
constexpr int32_t kVerboseIdentity = 0x1000000;
extern const char kExtensions[];
extern const char kPluginName[];
extern const char kNotice[];
extern const char kDescription[];

// Runs body, the work of one export. The module reports every failure as a
// result and allocates nothing that throws; the Windows module is built
// without exceptions at all, so that no throw machinery is linked into it.
// Where exceptions exist (the native build), anything that slips through is
// still swallowed here: nothing may unwind into the host, which knows
// nothing of C++.
template <typename Body>
inline void catchAll(Body&& body) noexcept {
#if defined(__cpp_exceptions)
    try {
        body();
    } catch (...) {
    }
#else
    body();
#endif
}

}  // namespace pcx
#endif

#endif  // PCX_UNITED_H
