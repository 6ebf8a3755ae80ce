// Base64 with the standard alphabet, over caller-supplied buffers.
#pragma once

#include <cstddef>

namespace vorn {

// Writes 4 characters per 3 bytes, padded with '='; no line breaks, no
// terminator. out needs 4 * ceil(length / 3) bytes. Returns the characters written.
size_t Base64Encode(const void* source, size_t length, char* out);

// Decodes whole groups of four characters; 1-3 trailing characters are
// ignored. Lenient: a character outside the alphabet ('=' included) counts as
// 0, and '=' only drops the byte it stands for, so decoding goes on after it.
// out needs 3 * (length / 4) bytes. No terminator. Returns the bytes written.
size_t Base64Decode(const char* source, size_t length, void* out);

} // namespace vorn
