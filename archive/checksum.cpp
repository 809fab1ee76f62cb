#include "archive/checksum.h"

#include <string.h>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#define UNTREE_X86 1
#endif

static const uint32_t POLY = 0x82F63B78u;

// Eight tables: table[k][b] is the register after byte b and k zero bytes.
static uint32_t g_slices[8][256];
// The register moved over STREAM_BYTES zero bytes, a byte of it at a time:
// what joins the three streams of the hardware path.
static uint32_t g_shift[4][256];
static uint16_t g_crc16[256];
static bool g_ready, g_hardware;

static const size_t STREAM_BYTES = 4096;

// a * b modulo the polynomial, both reflected (x^0 in the top bit).
static uint32_t multiply(uint32_t a, uint32_t b) {
    uint32_t product = 0;
    for (uint32_t m = 0x80000000u; m; m >>= 1) {
        if (a & m) product ^= b;
        b = b & 1 ? (b >> 1) ^ POLY : b >> 1;
    }
    return product;
}

static void prepare() {
    if (g_ready) return;
    for (uint32_t b = 0; b < 256; b++) {
        uint32_t c = b;
        for (int k = 0; k < 8; k++) c = c & 1 ? (c >> 1) ^ POLY : c >> 1;
        g_slices[0][b] = c;
        uint16_t s = (uint16_t)b;
        for (int k = 0; k < 8; k++) s = (uint16_t)(s & 1 ? (s >> 1) ^ 0x8408 : s >> 1);
        g_crc16[b] = s;
    }
    for (uint32_t b = 0; b < 256; b++)
        for (int k = 1; k < 8; k++) {
            uint32_t c = g_slices[k - 1][b];
            g_slices[k][b] = (c >> 8) ^ g_slices[0][c & 0xFF];
        }
    // x^(8 * STREAM_BYTES): one byte of zeros is x^8, reflected 1 << 23.
    uint32_t power = 0x80000000u;
    for (size_t i = 0; i < STREAM_BYTES; i++) power = multiply(power, 0x00800000u);
    for (int k = 0; k < 4; k++)
        for (uint32_t b = 0; b < 256; b++) g_shift[k][b] = multiply(power, b << (8 * k));
#ifdef UNTREE_X86
    unsigned a, bx, c, d;
    g_hardware = __get_cpuid(1, &a, &bx, &c, &d) && (c & bit_SSE4_2);
#endif
    g_ready = true;
}

bool crc32c_hardware_available() {
    prepare();
    return g_hardware;
}

// The raw register, without the inversions at both ends.
static uint32_t portable_raw(uint32_t c, const uint8_t* p, size_t n) {
    while (n && ((uintptr_t)p & 7)) {
        c = (c >> 8) ^ g_slices[0][(c ^ *p++) & 0xFF];
        n--;
    }
    while (n >= 8) {
        uint32_t lo = c ^ ((uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24);
        uint32_t hi = (uint32_t)p[4] | (uint32_t)p[5] << 8 | (uint32_t)p[6] << 16 | (uint32_t)p[7] << 24;
        c = g_slices[7][lo & 0xFF] ^ g_slices[6][(lo >> 8) & 0xFF] ^ g_slices[5][(lo >> 16) & 0xFF] ^
            g_slices[4][lo >> 24] ^ g_slices[3][hi & 0xFF] ^ g_slices[2][(hi >> 8) & 0xFF] ^
            g_slices[1][(hi >> 16) & 0xFF] ^ g_slices[0][hi >> 24];
        p += 8;
        n -= 8;
    }
    while (n--) c = (c >> 8) ^ g_slices[0][(c ^ *p++) & 0xFF];
    return c;
}

uint32_t crc32c_portable(uint32_t crc, const void* bytes, size_t length) {
    prepare();
    return ~portable_raw(~crc, (const uint8_t*)bytes, length);
}

static uint32_t shift_stream(uint32_t c) {
    return g_shift[0][c & 0xFF] ^ g_shift[1][(c >> 8) & 0xFF] ^ g_shift[2][(c >> 16) & 0xFF] ^ g_shift[3][c >> 24];
}

#ifdef UNTREE_X86
// The instruction is used only where cpuid offers it; the attribute lets the
// compiler emit it in this function alone, so the program still starts on a
// processor without it.
__attribute__((target("sse4.2"))) static uint32_t hardware_raw(uint32_t c, const uint8_t* p, size_t n) {
#ifdef __x86_64__
    typedef uint64_t Word;
#define UNTREE_CRC_WORD(c, w) (uint32_t) __builtin_ia32_crc32di(c, w)
#else
    typedef uint32_t Word;
#define UNTREE_CRC_WORD(c, w) __builtin_ia32_crc32si(c, w)
#endif
    while (n && ((uintptr_t)p & (sizeof(Word) - 1))) {
        c = __builtin_ia32_crc32qi(c, *p++);
        n--;
    }
    // Three streams over neighbouring blocks, so that the instruction's
    // latency of three cycles is filled; the registers are joined after.
    while (n >= 3 * STREAM_BYTES) {
        uint32_t c1 = 0, c2 = 0;
        const uint8_t* end = p + STREAM_BYTES;
        for (; p < end; p += sizeof(Word)) {
            Word w0, w1, w2;
            memcpy(&w0, p, sizeof w0);
            memcpy(&w1, p + STREAM_BYTES, sizeof w1);
            memcpy(&w2, p + 2 * STREAM_BYTES, sizeof w2);
            c = UNTREE_CRC_WORD(c, w0);
            c1 = UNTREE_CRC_WORD(c1, w1);
            c2 = UNTREE_CRC_WORD(c2, w2);
        }
        c = shift_stream(shift_stream(c) ^ c1) ^ c2;
        p += 2 * STREAM_BYTES;
        n -= 3 * STREAM_BYTES;
    }
    for (; n >= sizeof(Word); p += sizeof(Word), n -= sizeof(Word)) {
        Word w;
        memcpy(&w, p, sizeof w);
        c = UNTREE_CRC_WORD(c, w);
    }
    while (n--) c = __builtin_ia32_crc32qi(c, *p++);
    return c;
#undef UNTREE_CRC_WORD
}
#endif

uint32_t crc32c_hardware(uint32_t crc, const void* bytes, size_t length) {
    prepare();
#ifdef UNTREE_X86
    if (g_hardware) return ~hardware_raw(~crc, (const uint8_t*)bytes, length);
#endif
    return ~portable_raw(~crc, (const uint8_t*)bytes, length);
}

uint32_t crc32c(uint32_t crc, const void* bytes, size_t length) {
    prepare();
    return g_hardware ? crc32c_hardware(crc, bytes, length) : crc32c_portable(crc, bytes, length);
}

uint32_t crc32c_combine(uint32_t first, uint32_t second, uint64_t second_length) {
    // first moved over second_length zero bytes, by x^(8 * 2^k) for each
    // bit k of the length; the pieces' own inversions cancel out.
    uint32_t power = 0x00800000u;  // x^8, reflected
    for (; second_length; second_length >>= 1) {
        if (second_length & 1) first = multiply(power, first);
        power = multiply(power, power);
    }
    return first ^ second;
}

uint16_t crc16(uint16_t crc, const void* bytes, size_t length) {
    prepare();
    const uint8_t* p = (const uint8_t*)bytes;
    uint16_t c = (uint16_t)~crc;
    while (length--) c = (uint16_t)((c >> 8) ^ g_crc16[(c ^ *p++) & 0xFF]);
    return (uint16_t)~c;
}
