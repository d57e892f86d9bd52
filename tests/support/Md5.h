// MD5 of a byte string as 32 lower-case hex digits (RFC 1321), for checking
// decoded pictures against published digests.
#ifndef PCX_TESTS_MD5_H
#define PCX_TESTS_MD5_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace pcxtest {

std::string md5Hex(const void* data, size_t size);

}  // namespace pcxtest

#endif  // PCX_TESTS_MD5_H
