// Fuzz target: EXPORT_WriteToFile with a fuzzed image record, over buffers
// exactly as large as the record says (so any read outside them is caught),
// and a progress callback that answers as the input says. The written file
// must be the reference encoder's bytes, or, for a record the writer must
// refuse, the file must stay untouched and progress must never be called.
//
// Input layout (little-endian; missing bytes read as 0):
//   0      kind, a signed byte (1 indexed, 5 colour, anything else refused)
//   1..4   width          5..8   height        (signed 32-bit)
//   9      stride: 0 a row's bytes, 1 its negative (bottom-up), 2 a row's
//          bytes plus the pad, 3 the negative of that, 4 the raw stride below
//   10     pad            11..14 raw stride
//   15     flags: 1 null pixels, 2 null palette, 4 null record, 8 no callback;
//          bits 4-5 choose the kernels (see pcxfuzz::useKernelsFor)
//   16..19 paletteCount (the palette holds that many entries, at most 1024)
//   20..23 the row whose progress call answers 24..27 (0 answers 0 always)
//   28..   bytes that fill the pixels and the palette, repeated
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Export.h"
#include "FuzzSupport.h"
#include "support/Reference.h"

namespace {

constexpr size_t kMaxPaletteEntries = 1024;
const uint8_t kUntouched[] = "left as it was";

struct Progress {
    int32_t next = 1;  // the row the next call must announce
    int32_t stopRow = 0;
    int32_t answer = 0;
    bool outOfOrder = false;
} progress;

int32_t PCX_CALL onProgress(int32_t row) {
    if (row != progress.next) progress.outOfOrder = true;
    ++progress.next;
    return row == progress.stopRow ? progress.answer : 0;
}

// The largest pixel buffer a record may describe here. Every row costs a
// progress call and a reference encoding, so records stay smaller than the
// pictures of the import targets; the extreme sides (65534 wide, 65536 high)
// still fit with the other side 1, for colour too.
constexpr int64_t kMaxRecordBytes = 256 << 10;

// Fills bytes with source repeated (zeros for an empty source).
void fillFrom(uint8_t* bytes, size_t count, const uint8_t* source, size_t sourceSize) {
    if (sourceSize == 0) {
        std::memset(bytes, 0, count);
        return;
    }
    for (size_t done = 0; done < count; done += sourceSize)
        std::memcpy(bytes + done, source, std::min(sourceSize, count - done));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const pcxfuzz::ScratchFile scratch("export.pcx");
    pcxfuzz::ByteReader in(data, size);
    PluginImage record = {};
    record.kind = static_cast<int8_t>(in.u8());
    record.width = in.i32();
    record.height = in.i32();
    const uint8_t strideMode = in.u8();
    const uint8_t pad = in.u8();
    const int32_t rawStride = in.i32();
    const uint8_t flags = in.u8();
    record.paletteCount = in.i32();
    progress = Progress();
    progress.stopRow = in.i32();
    progress.answer = in.i32();
    const uint8_t* fill = in.rest();
    const size_t fillSize = in.restSize();

    const int64_t rowBytes = int64_t{record.width} * (record.kind == 5 ? 4 : 1);
    const int64_t strides[] = {rowBytes, -rowBytes, rowBytes + pad, -(rowBytes + pad), rawStride};
    record.stride = static_cast<int32_t>(strides[strideMode % 5]);
    const int64_t step = std::max<int64_t>(record.stride, -int64_t{record.stride});

    // The buffer the record describes: height - 1 steps and one row.
    const bool described = record.width > 0 && record.height > 0;
    const int64_t bufferBytes = described ? step * (record.height - 1) + rowBytes : 0;
    const bool sized = described && bufferBytes <= kMaxRecordBytes;
    std::unique_ptr<uint8_t[]> buffer;
    if (!(flags & 1)) {
        // A record too large to back with memory gets a token buffer: the
        // writer must refuse it before reading a byte (checked below).
        const size_t bytes = sized ? static_cast<size_t>(bufferBytes) : 16;
        buffer.reset(new uint8_t[bytes]);
        fillFrom(buffer.get(), bytes, fill, fillSize);
        record.pixels = buffer.get();
        if (sized && record.stride < 0) record.pixels += step * (record.height - 1);
    }
    std::unique_ptr<uint32_t[]> palette;
    if (!(flags & 2)) {
        const size_t entries =
            static_cast<size_t>(std::clamp<int64_t>(record.paletteCount, 0, kMaxPaletteEntries));
        palette.reset(new uint32_t[entries]);
        fillFrom(reinterpret_cast<uint8_t*>(palette.get()), entries * 4, fill, fillSize);
        record.palette = palette.get();
    }
    const PluginImage* given = (flags & 4) ? nullptr : &record;
    const ProgressCallback callback = (flags & 8) ? nullptr : onProgress;

    const bool writable = pcxref::writable(given);
    if (writable && !sized) return -1;  // sound, but too large to fuzz

    pcxfuzz::useKernelsFor(static_cast<uint8_t>((flags >> 4) & 3));
    scratch.write(kUntouched, sizeof kUntouched);
    int32_t result;
    pcxfuzz::AllocationStats stats;
    {
        pcxfuzz::AllocationWatch watch(pcxfuzz::nextFill());
        result = EXPORT_WriteToFile(scratch.path(), given, callback);
        stats = watch.stats();
    }
    // The writer reads the host's rows in place: no picture-sized buffer.
    pcxfuzz::checkAllocationBound(stats, 0, "EXPORT_WriteToFile");

    const std::string what = "kind " + std::to_string(record.kind) + ", " +
                             std::to_string(record.width) + " x " + std::to_string(record.height) +
                             ", stride " + std::to_string(record.stride);
    const std::vector<uint8_t> file = scratch.read();
    FUZZ_CHECK(!progress.outOfOrder, what + ": progress rows out of order");
    const int32_t calls = progress.next - 1;
    if (!writable) {
        FUZZ_CHECK(result == 0, what + ": written, not refused");
        FUZZ_CHECK(calls == 0, what + ": progress called for a refused record");
        FUZZ_CHECK(file == std::vector<uint8_t>(kUntouched, kUntouched + sizeof kUntouched),
                   what + ": a refused record changed the file");
        return 0;
    }
    const bool stops = callback != nullptr && progress.answer != 0 && progress.stopRow >= 1 &&
                       progress.stopRow <= record.height;
    const int32_t stopRow = stops ? progress.stopRow : 0;
    FUZZ_CHECK(result == 1, what + ": refused");
    if (callback != nullptr)
        FUZZ_CHECK(calls == (stops ? stopRow : record.height),
                   what + ": progress called " + std::to_string(calls) + " times");
    const std::vector<uint8_t> expected = pcxref::encode(record, stopRow);
    if (file != expected) {
        size_t at = 0;
        while (at < file.size() && at < expected.size() && file[at] == expected[at]) ++at;
        FUZZ_CHECK(false, what + ": the file differs from byte " + std::to_string(at) + " on (" +
                              std::to_string(file.size()) + " bytes, expected " +
                              std::to_string(expected.size()) + ")");
    }
    return 0;
}
