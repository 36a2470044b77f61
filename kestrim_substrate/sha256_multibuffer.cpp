// SHA-256 of 8 or 16 messages at once, one message per 32-bit lane of an AVX2 or AVX-512
// register.
//
// The rounds are written once over GCC vector types, so the 16-lane AVX-512 kernel is the
// 8-lane AVX2 code widened, and the same template with a plain uint32_t is the scalar code
// that finishes stragglers on a CPU without SHA-NI. Only the compress functions carry a target
// attribute; the driver that feeds them runs on the baseline instruction set.
//
// Lanes hold messages of any lengths: a lane whose message ends is refilled from the queue at
// once, an empty lane hashes a dummy block whose result is never read, and once the queue is
// empty and few lanes are left they finish one at a time (the caller says how few) rather than
// occupying a whole register each.
#include "sha256_lanes.hpp"

#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

namespace kestrim::sha256::detail {
namespace {

#define KESTRIM_INLINE __attribute__((always_inline)) inline

// A macro, not a function: a function returning a wide vector would be declared for the
// baseline ABI, which GCC warns about, even though it is always inlined.
#define KESTRIM_ROTR(x, n) (((x) >> (n)) | ((x) << (32 - (n))))

typedef std::uint32_t u32x8 __attribute__((vector_size(32)));
typedef std::uint32_t u32x16 __attribute__((vector_size(64)));

// The round constants repeated across L lanes, so each round adds one vector from memory
// instead of building a broadcast.
template <std::size_t L>
struct WideConstants {
    alignas(64) std::uint32_t k[64][L];
    constexpr WideConstants() : k{} {
        for (int t = 0; t < 64; ++t) {
            for (std::size_t i = 0; i < L; ++i) k[t][i] = kRoundConstants[t];
        }
    }
};
template <std::size_t L>
inline constexpr WideConstants<L> kWideConstants{};

// Words 0..15 of eight lanes' blocks, word t of every lane in w[t], byte-swapped: a 4x4
// transpose of 32-bit words within each 128-bit half, lanes 0-3 low and 4-7 high. Shuffles
// in place of 128 scalar loads and inserts.
__attribute__((target("avx2"), always_inline)) inline void load8_avx2(
    u32x8 (&w)[16], const unsigned char* const* blocks) {
    const __m256i swap = _mm256_setr_epi8(3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12,  //
                                          3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12);
    for (int g = 0; g < 4; ++g) {
        __m256i r[4];
        for (int i = 0; i < 4; ++i) {
            const __m128i lo =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks[i] + 16 * g));
            const __m128i hi =
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks[i + 4] + 16 * g));
            r[i] = _mm256_shuffle_epi8(_mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1),
                                       swap);
        }
        const __m256i t0 = _mm256_unpacklo_epi32(r[0], r[1]),
                      t1 = _mm256_unpackhi_epi32(r[0], r[1]);
        const __m256i t2 = _mm256_unpacklo_epi32(r[2], r[3]),
                      t3 = _mm256_unpackhi_epi32(r[2], r[3]);
        w[4 * g + 0] = (u32x8)_mm256_unpacklo_epi64(t0, t2);
        w[4 * g + 1] = (u32x8)_mm256_unpackhi_epi64(t0, t2);
        w[4 * g + 2] = (u32x8)_mm256_unpacklo_epi64(t1, t3);
        w[4 * g + 3] = (u32x8)_mm256_unpackhi_epi64(t1, t3);
    }
}

// One block for every lane, from the words load8_avx2 or the scalar load put in w. st holds
// the lanes' states word by word: st[j][i] is word j of lane i, so each word is one vector.
template <class V, std::size_t L>
KESTRIM_INLINE void rounds(std::uint32_t (*st)[L], V (&w)[16]) {
    V s[8];
    for (int j = 0; j < 8; ++j) std::memcpy(&s[j], st[j], sizeof(V));
    V a = s[0], b = s[1], c = s[2], d = s[3], e = s[4], f = s[5], g = s[6], h = s[7];
    // Hidden from the optimiser, which would otherwise rebuild each constant from an
    // immediate (three instructions) rather than add it from memory (one).
    const std::uint32_t (*k)[L] = kWideConstants<L>.k;
    __asm__("" : "+r"(k));
#pragma GCC unroll 64
    for (int t = 0; t < 64; ++t) {
        if (t >= 16) {
            const V w2 = w[(t - 2) & 15], w15 = w[(t - 15) & 15];
            w[t & 15] += (KESTRIM_ROTR(w2, 17) ^ KESTRIM_ROTR(w2, 19) ^ (w2 >> 10)) +
                         w[(t - 7) & 15] +
                         (KESTRIM_ROTR(w15, 7) ^ KESTRIM_ROTR(w15, 18) ^ (w15 >> 3));
        }
        const V t1 = h + (KESTRIM_ROTR(e, 6) ^ KESTRIM_ROTR(e, 11) ^ KESTRIM_ROTR(e, 25)) +
                     (g ^ (e & (f ^ g))) + *reinterpret_cast<const V*>(k[t]) + w[t & 15];
        const V t2 = (KESTRIM_ROTR(a, 2) ^ KESTRIM_ROTR(a, 13) ^ KESTRIM_ROTR(a, 22)) +
                     ((a & b) | (c & (a | b)));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    s[0] += a, s[1] += b, s[2] += c, s[3] += d, s[4] += e, s[5] += f, s[6] += g, s[7] += h;
    for (int j = 0; j < 8; ++j) std::memcpy(st[j], &s[j], sizeof(V));
}

__attribute__((target("avx2"))) void compress_avx2_x8(std::uint32_t (*st)[8],
                                                      const unsigned char* const* blocks) noexcept {
    u32x8 w[16];
    load8_avx2(w, blocks);
    rounds<u32x8, 8>(st, w);
}

// Sixteen lanes' words: two eight-lane loads joined. Inlined, it is compiled for the ISA of
// the function it lands in (AVX-512 or AVX2).
__attribute__((target("avx2"), always_inline)) inline void load16_avx2(
    u32x16 (&w)[16], const unsigned char* const* blocks) {
    u32x8 lo[16], hi[16];
    load8_avx2(lo, blocks);
    load8_avx2(hi, blocks + 8);
    for (int t = 0; t < 16; ++t) {
        w[t] = __builtin_shufflevector(lo[t], hi[t], 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13,
                                       14, 15);
    }
}

__attribute__((target("avx512f,avx512vl"))) void compress_avx512_x16(
    std::uint32_t (*st)[16], const unsigned char* const* blocks) noexcept {
    u32x16 w[16];
    load16_avx2(w, blocks);
    rounds<u32x16, 16>(st, w);
}

// The 16-lane code on AVX2 (each vector op split in two), so that this driver and these
// rounds are checked on CPUs without AVX-512.
__attribute__((target("avx2"))) void compress_avx2_x16(
    std::uint32_t (*st)[16], const unsigned char* const* blocks) noexcept {
    u32x16 w[16];
    load16_avx2(w, blocks);
    rounds<u32x16, 16>(st, w);
}

void compress_scalar(std::uint32_t (*st)[1], const unsigned char* const* blocks) noexcept {
    std::uint32_t w[16];
    for (int t = 0; t < 16; ++t) w[t] = load_be32(blocks[0] + 4 * t);
    rounds<std::uint32_t, 1>(st, w);
}

template <std::size_t L>
void column(const std::uint32_t (*st)[L], std::size_t lane, std::uint32_t out[8]) noexcept {
    for (int j = 0; j < 8; ++j) out[j] = st[j][lane];
}

template <std::size_t L,
          void (*Compress)(std::uint32_t (*)[L], const unsigned char* const*) noexcept>
void run_lanes(Batch& batch, Stragglers stragglers) noexcept {
    alignas(64) static const unsigned char idle_block[kBlockBytes] = {};
    alignas(64) std::uint32_t st[8][L];
    Feed feed[L];
    bool live[L];
    const unsigned char* blocks[L];
    std::size_t active = 0;
    auto restart = [&](std::size_t i) {
        for (int j = 0; j < 8; ++j) st[j][i] = kInitialState[j];
    };
    for (std::size_t i = 0; i < L; ++i) {
        live[i] = batch.take(feed[i]);
        active += live[i];
        restart(i);
    }
    while (active) {
        if (batch.empty() && active <= stragglers.at) {
            for (std::size_t i = 0; i < L; ++i) {
                if (!live[i]) continue;
                std::uint32_t state[8];
                column<L>(st, i, state);
                stragglers.finish(state, feed[i]);
                batch.emit(feed[i], state);
            }
            return;
        }
        // Every live lane has at least this many blocks before one needs a new message.
        std::size_t k = SIZE_MAX;
        for (std::size_t i = 0; i < L; ++i) {
            if (live[i] && feed[i].left() < k) k = feed[i].left();
        }
        for (; k; --k) {
            for (std::size_t i = 0; i < L; ++i) blocks[i] = live[i] ? feed[i].next() : idle_block;
            Compress(st, blocks);
        }
        for (std::size_t i = 0; i < L; ++i) {
            if (!live[i] || feed[i].left()) continue;
            std::uint32_t state[8];
            column<L>(st, i, state);
            batch.emit(feed[i], state);
            restart(i);
            if (!batch.take(feed[i])) {
                live[i] = false;
                --active;
            }
        }
    }
}

}  // namespace

void scalar_finish(std::uint32_t state[8], Feed& feed) noexcept {
    std::uint32_t st[8][1];
    for (int j = 0; j < 8; ++j) st[j][0] = state[j];
    for (std::size_t k = feed.left(); k; --k) {
        const unsigned char* block = feed.next();
        compress_scalar(st, &block);
    }
    for (int j = 0; j < 8; ++j) state[j] = st[j][0];
}

void avx2_batch_x8(Batch& batch, Stragglers stragglers) noexcept {
    run_lanes<8, compress_avx2_x8>(batch, stragglers);
}

void avx512_batch_x16(Batch& batch, Stragglers stragglers) noexcept {
    run_lanes<16, compress_avx512_x16>(batch, stragglers);
}

void avx2_batch_x16(Batch& batch, Stragglers stragglers) noexcept {
    run_lanes<16, compress_avx2_x16>(batch, stragglers);
}

}  // namespace kestrim::sha256::detail

#endif
