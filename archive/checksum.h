// CRC-32C (the Castagnoli polynomial, reflected, 0x82F63B78): the checksum
// of every file's content and of the whole index in an extended archive.
// Chosen for the processor instruction x86 has for it since SSE4.2, which
// three interleaved streams keep busy at several GB/s per core, in the
// 32-bit Windows build too; where the processor multiplies 512-bit
// registers carry-less (AVX-512 VPCLMULQDQ, 64-bit builds), pieces of 256
// bytes or more are folded on the vector unit instead, at several times
// that rate. The portable path, slicing by eight, is used where the
// instruction is missing; all give the same values.
//
// Also CRC-16 (polynomial 0x1021, reflected): the short check each record
// carries for itself and its name, which finds any damage of up to 16
// consecutive bits in them.
#ifndef UNTREE_ARCHIVE_CHECKSUM_H
#define UNTREE_ARCHIVE_CHECKSUM_H

#include <stddef.h>
#include <stdint.h>

// The running value starts at 0 and is handed back for the next piece:
// crc32c(crc32c(0, a), b) is the checksum of a followed by b.
uint32_t crc32c(uint32_t crc, const void* bytes, size_t length);
// The two ways to it, for the tests and the benchmark; crc32c picks the
// first where the processor has the instruction (and the fastest of the
// processor's own ways within it).
uint32_t crc32c_hardware(uint32_t crc, const void* bytes, size_t length);
uint32_t crc32c_portable(uint32_t crc, const void* bytes, size_t length);
bool crc32c_hardware_available();
// The checksum of a followed by b, from each one's own (from 0) and b's
// length: pieces checksummed in any order are joined in the order they lie.
uint32_t crc32c_combine(uint32_t first, uint32_t second, uint64_t second_length);

uint16_t crc16(uint16_t crc, const void* bytes, size_t length);

#endif
