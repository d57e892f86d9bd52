// Fuzz target: the header-only calls, IMPORT_ValidFileCheck and
// IMPORT_ImageInformation, on one file. The input is the file. Both must
// agree with the reference on whether the header is accepted, the report
// must be the reference's byte for byte (or the fixed message), the callback
// must be called exactly once, and neither call may allocate picture
// buffers.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "Import.h"
#include "support/HostTexts.h"
#include "support/Reference.h"

namespace {

int calls = 0;
char told[1024];
size_t toldLength = 0;

// Copies the text during the call: the report dies with the decoder. No
// allocation here, since the watch is counting.
void PCX_CALL tell(const char* text) {
    ++calls;
    toldLength = 0;
    while (text[toldLength] != '\0' && toldLength < sizeof told) {
        told[toldLength] = text[toldLength];
        ++toldLength;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const pcxfuzz::ScratchFile scratch("header.pcx");
    scratch.write(data, size);

    int32_t valid;
    pcxfuzz::AllocationStats stats;
    calls = 0;
    {
        pcxfuzz::AllocationWatch watch(pcxfuzz::nextFill());
        valid = IMPORT_ValidFileCheck(scratch.path());
        IMPORT_ImageInformation(scratch.path(), tell);
        stats = watch.stats();
    }
    pcxfuzz::checkAllocationBound(stats, 0, "IMPORT_ValidFileCheck, IMPORT_ImageInformation");

    const bool accepted = pcxref::headerAccepted(data, size);
    FUZZ_CHECK(valid == (accepted ? 1 : 0), "IMPORT_ValidFileCheck gave " + std::to_string(valid));
    FUZZ_CHECK(calls == 1, "the callback was called " + std::to_string(calls) + " times");
    std::string expected = pcxtest::kNotAnImage;
    if (accepted) {
        pcxref::Header header;
        pcxref::readHeader(data, size, &header);
        expected = pcxref::headerReport(header);
    }
    FUZZ_CHECK(std::string(told, toldLength) == expected,
               "told \"" + std::string(told, toldLength) + "\"");
    return 0;
}
