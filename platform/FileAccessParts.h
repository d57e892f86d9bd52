// The pieces the file layers of both systems share; only platform/*FileAccess*.cpp
// include this.
#ifndef PCX_PLATFORM_FILE_ACCESS_PARTS_H
#define PCX_PLATFORM_FILE_ACCESS_PARTS_H

#include <cstdint>

#include "platform/FileAccess.h"

namespace pcx::platform {

// Names tried before a temporary file counts as impossible to make.
constexpr int kNameAttempts = 64;
// How much of the target's own name the temporary name keeps, so that a
// long name still leaves room for the rest.
constexpr size_t kKeptNameLength = 100;
// Letters and digits that end a temporary name.
constexpr int kSuffixLength = 10;

// Mixes a seed so that every input bit reaches every output bit.
uint64_t mixBits(uint64_t x);

// The last part of a temporary name: kSuffixLength letters and digits
// taken from draw.
PathString drawnSuffix(uint64_t draw);

}  // namespace pcx::platform

#endif  // PCX_PLATFORM_FILE_ACCESS_PARTS_H
