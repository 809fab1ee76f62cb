#include "archive/checksum.h"

#include <string.h>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#define UNTREE_X86 1
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define UNTREE_FOLD 1
#endif

static const uint32_t POLY = 0x82F63B78u;

// Eight tables: table[k][b] is the register after byte b and k zero bytes.
static uint32_t g_slices[8][256];
// The register moved over STREAM_BYTES zero bytes, a byte of it at a time:
// what joins the three streams of the hardware path.
static uint32_t g_shift[4][256];
// g_crc16[k][b]: the CRC-16 register after byte b and k zero bytes.
static uint16_t g_crc16[4][256];
static bool g_ready, g_hardware;
#ifdef UNTREE_FOLD
static bool g_fold;
// The folding path's multipliers, reflected into the top of a 64-bit word:
// x^(D+63) and x^(D-1) modulo the polynomial move a 128-bit piece D bits on
// (the carry-less product of two reflected words comes out one bit short).
static uint64_t g_fold_far[2];   // D = 2048: over the sixteen pieces in flight
static uint64_t g_fold_near[2];  // D = 128: one piece onto the next
#endif

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

// x^n modulo the polynomial, reflected (x^0 in the top bit).
static uint32_t x_power(uint32_t n) {
    uint32_t power = 0x80000000u, x = 0x40000000u;
    for (; n; n >>= 1, x = multiply(x, x))
        if (n & 1) power = multiply(power, x);
    return power;
}

#ifdef UNTREE_FOLD
static uint32_t xgetbv_low() {
    uint32_t low, high;
    __asm__ volatile("xgetbv"
                     : "=a"(low), "=d"(high)
                     : "c"(0));
    return low;
}
#endif

static void prepare() {
    if (g_ready) return;
    for (uint32_t b = 0; b < 256; b++) {
        uint32_t c = b;
        for (int k = 0; k < 8; k++) c = c & 1 ? (c >> 1) ^ POLY : c >> 1;
        g_slices[0][b] = c;
        uint16_t s = (uint16_t)b;
        for (int k = 0; k < 8; k++) s = (uint16_t)(s & 1 ? (s >> 1) ^ 0x8408 : s >> 1);
        g_crc16[0][b] = s;
    }
    for (uint32_t b = 0; b < 256; b++)
        for (int k = 1; k < 4; k++) {
            uint16_t s = g_crc16[k - 1][b];
            g_crc16[k][b] = (uint16_t)((s >> 8) ^ g_crc16[0][s & 0xFF]);
        }
    for (uint32_t b = 0; b < 256; b++)
        for (int k = 1; k < 8; k++) {
            uint32_t c = g_slices[k - 1][b];
            g_slices[k][b] = (c >> 8) ^ g_slices[0][c & 0xFF];
        }
    // x^(8 * STREAM_BYTES); the product is linear in its bits, so each
    // table is made from the eight products of its single bits.
    uint32_t power = x_power(8 * STREAM_BYTES);
    for (int k = 0; k < 4; k++) {
        g_shift[k][0] = 0;
        for (uint32_t b = 1; b < 256; b++) {
            uint32_t lowest = b & (0u - b);
            g_shift[k][b] = b == lowest ? multiply(power, b << (8 * k)) : g_shift[k][b ^ lowest] ^ g_shift[k][lowest];
        }
    }
#ifdef UNTREE_FOLD
    g_fold_far[0] = (uint64_t)x_power(2048 + 63) << 32;
    g_fold_far[1] = (uint64_t)x_power(2048 - 1) << 32;
    g_fold_near[0] = (uint64_t)x_power(128 + 63) << 32;
    g_fold_near[1] = (uint64_t)x_power(128 - 1) << 32;
#endif
#ifdef UNTREE_X86
    unsigned a, bx, c, d;
    g_hardware = __get_cpuid(1, &a, &bx, &c, &d) && (c & bit_SSE4_2);
#ifdef UNTREE_FOLD
    // 512-bit carry-less products, and a system that keeps the wide
    // registers across switches (XCR0: SSE, AVX and the three AVX-512 states).
    bool os_wide = g_hardware && (c & bit_OSXSAVE) && (xgetbv_low() & 0xE6) == 0xE6;
    g_fold = os_wide && __get_cpuid_count(7, 0, &a, &bx, &c, &d) && (bx & bit_AVX512F) && (c & bit_VPCLMULQDQ);
#endif
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

#ifdef UNTREE_FOLD
enum { FOLD_MIN = 256 };  // the four registers' first load

// Sixteen 128-bit pieces in flight, four to a 512-bit register, each
// multiplied on by the distance to the next group and the new bytes added:
// two products per 16 bytes on the vector unit, several times what the
// crc32 instruction does. The pieces are then folded into one, whose
// checksum as 16 bytes of its own is that of everything folded; the
// register, added into the first four bytes, rides along as any byte does.
__attribute__((target("avx512f,vpclmulqdq,pclmul,sse4.2"))) static uint32_t fold_raw(uint32_t c, const uint8_t* p,
                                                                                     size_t n) {
    const long long far_low = (long long)g_fold_far[0], far_high = (long long)g_fold_far[1];
    const __m512i far = _mm512_set_epi64(far_high, far_low, far_high, far_low, far_high, far_low, far_high, far_low);
    __m512i x0 = _mm512_xor_si512(_mm512_loadu_si512(p), _mm512_castsi128_si512(_mm_cvtsi32_si128((int)c)));
    __m512i x1 = _mm512_loadu_si512(p + 64);
    __m512i x2 = _mm512_loadu_si512(p + 128);
    __m512i x3 = _mm512_loadu_si512(p + 192);
    p += 256;
    n -= 256;
#define UNTREE_FOLD_ON(x, at) \
    x = _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(x, far, 0x00), _mm512_clmulepi64_epi128(x, far, 0x11), \
                                  _mm512_loadu_si512(p + (at)), 0x96)
    for (; n >= 256; p += 256, n -= 256) {
        UNTREE_FOLD_ON(x0, 0);
        UNTREE_FOLD_ON(x1, 64);
        UNTREE_FOLD_ON(x2, 128);
        UNTREE_FOLD_ON(x3, 192);
    }
#undef UNTREE_FOLD_ON
    const __m128i near = _mm_set_epi64x((long long)g_fold_near[1], (long long)g_fold_near[0]);
    alignas(64) __m128i pieces[16];
    _mm512_store_si512(pieces, x0);
    _mm512_store_si512(pieces + 4, x1);
    _mm512_store_si512(pieces + 8, x2);
    _mm512_store_si512(pieces + 12, x3);
    __m128i x = pieces[0];
    for (int k = 1; k < 16; k++)
        x = _mm_xor_si128(_mm_xor_si128(_mm_clmulepi64_si128(x, near, 0x00), _mm_clmulepi64_si128(x, near, 0x11)),
                          pieces[k]);
    uint64_t low = (uint64_t)_mm_cvtsi128_si64(x), high = (uint64_t)_mm_extract_epi64(x, 1);
    c = (uint32_t)__builtin_ia32_crc32di(__builtin_ia32_crc32di(0, low), high);
    return hardware_raw(c, p, n);
}
#endif

uint32_t crc32c_hardware(uint32_t crc, const void* bytes, size_t length) {
    prepare();
#ifdef UNTREE_FOLD
    if (g_fold && length >= FOLD_MIN) return ~fold_raw(~crc, (const uint8_t*)bytes, length);
#endif
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
    // Four bytes a step: the register meets the first two, the other two
    // are data alone (every record and name is checked so, once per entry).
    for (; length >= 4; p += 4, length -= 4) {
        uint32_t x = c ^ ((uint32_t)p[0] | (uint32_t)p[1] << 8);
        c = (uint16_t)(g_crc16[3][x & 0xFF] ^ g_crc16[2][x >> 8] ^ g_crc16[1][p[2]] ^ g_crc16[0][p[3]]);
    }
    while (length--) c = (uint16_t)((c >> 8) ^ g_crc16[0][(c ^ *p++) & 0xFF]);
    return (uint16_t)~c;
}
