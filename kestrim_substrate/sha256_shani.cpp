// SHA-256 with the SHA-NI instructions, one message or two interleaved.
//
// sha256rnds2 does two rounds, but each depends on the one before, so a single message keeps
// the unit waiting on its latency. Two independent messages issued alternately fill that
// wait: the two-way kernel runs the same schedule with every step done for both.
//
// Only the functions below carry the target attribute, so the rest of the build keeps the
// baseline instruction set; the dispatcher calls them only when CPUID reports SHA-NI.
#include "sha256_lanes.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>

#define KESTRIM_SHANI __attribute__((target("sha,sse4.1,ssse3")))
#define KESTRIM_SHANI_INLINE __attribute__((target("sha,sse4.1,ssse3"), always_inline)) inline

namespace kestrim::sha256::detail {
namespace {

// The instructions keep the state as (A, B, E, F) and (C, D, G, H) words.
struct Packed {
    __m128i abef;
    __m128i cdgh;
};

KESTRIM_SHANI_INLINE Packed pack(const std::uint32_t state[8]) {
    const __m128i cdab =
        _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
    const __m128i efgh =
        _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
    return {_mm_alignr_epi8(cdab, efgh, 8), _mm_blend_epi16(efgh, cdab, 0xF0)};
}

KESTRIM_SHANI_INLINE void unpack(const Packed& p, std::uint32_t state[8]) {
    const __m128i feba = _mm_shuffle_epi32(p.abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(p.cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

KESTRIM_SHANI_INLINE __m128i load_words(const unsigned char* p) {
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), byte_swap);
}

// One block for each of N states. The loops over n are unrolled, so the two messages'
// instructions alternate and neither waits on the other.
template <int N>
KESTRIM_SHANI_INLINE void compress(Packed (&s)[N], const unsigned char* const (&blocks)[N]) {
    Packed saved[N];
    __m128i m[N][4];
    for (int n = 0; n < N; ++n) saved[n] = s[n];
#pragma GCC unroll 16
    for (int g = 0; g < 16; ++g) {
        const __m128i k = _mm_load_si128(reinterpret_cast<const __m128i*>(kRoundConstants + 4 * g));
        __m128i x[N];
        for (int n = 0; n < N; ++n) {
            if (g < 4) m[n][g] = load_words(blocks[n] + 16 * g);
            x[n] = _mm_add_epi32(m[n][g & 3], k);
            s[n].cdgh = _mm_sha256rnds2_epu32(s[n].cdgh, s[n].abef, x[n]);
        }
        // Words for the next group: W[t] needs W[t-16..t-13] (msg1), W[t-7] and W[t-2] (msg2).
        if (g >= 3 && g <= 14) {
            for (int n = 0; n < N; ++n) {
                __m128i& next = m[n][(g + 1) & 3];
                next = _mm_add_epi32(next, _mm_alignr_epi8(m[n][g & 3], m[n][(g - 1) & 3], 4));
                next = _mm_sha256msg2_epu32(next, m[n][g & 3]);
            }
        }
        for (int n = 0; n < N; ++n) {
            s[n].abef = _mm_sha256rnds2_epu32(s[n].abef, s[n].cdgh, _mm_shuffle_epi32(x[n], 0x0E));
        }
        if (g >= 1 && g <= 12) {
            for (int n = 0; n < N; ++n)
                m[n][(g - 1) & 3] = _mm_sha256msg1_epu32(m[n][(g - 1) & 3], m[n][g & 3]);
        }
    }
    for (int n = 0; n < N; ++n) {
        s[n].abef = _mm_add_epi32(s[n].abef, saved[n].abef);
        s[n].cdgh = _mm_add_epi32(s[n].cdgh, saved[n].cdgh);
    }
}

KESTRIM_SHANI_INLINE void run_alone(Packed& s, Feed& feed) {
    Packed one[1] = {s};
    for (std::size_t k = feed.left(); k; --k) {
        const unsigned char* block[1] = {feed.next()};
        compress<1>(one, block);
    }
    s = one[0];
}

KESTRIM_SHANI_INLINE void emit(Batch& batch, const Feed& feed, const Packed& s) {
    std::uint32_t state[8];
    unpack(s, state);
    batch.emit(feed, state);
}

}  // namespace

KESTRIM_SHANI void shani_finish(std::uint32_t state[8], Feed& feed) noexcept {
    Packed s = pack(state);
    run_alone(s, feed);
    unpack(s, state);
}

KESTRIM_SHANI void shani_one(const unsigned char* msg, std::size_t len,
                             unsigned char digest[32]) noexcept {
    Feed feed;
    feed.start(msg, len, 0);
    Packed s = pack(kInitialState);
    run_alone(s, feed);
    std::uint32_t state[8];
    unpack(s, state);
    state_digest(state, digest);
}

KESTRIM_SHANI void shani_compress_blocks(std::uint32_t state[8], const unsigned char* data,
                                         std::size_t nblocks) noexcept {
    Packed s[1] = {pack(state)};
    for (; nblocks; --nblocks, data += kBlockBytes) {
        const unsigned char* block[1] = {data};
        compress<1>(s, block);
    }
    unpack(s[0], state);
}

KESTRIM_SHANI void shani_batch_x1(Batch& batch) noexcept {
    Feed feed;
    while (batch.take(feed)) {
        Packed s = pack(kInitialState);
        run_alone(s, feed);
        emit(batch, feed, s);
    }
}

KESTRIM_SHANI void shani_batch_x2(Batch& batch) noexcept {
    Feed feed[2];
    Packed s[2];
    bool live[2];
    for (int n = 0; n < 2; ++n) {
        live[n] = batch.take(feed[n]);
        s[n] = pack(kInitialState);
    }
    while (live[0] && live[1]) {
        // Both lanes have this many blocks before either needs a new message.
        std::size_t k = feed[0].left() < feed[1].left() ? feed[0].left() : feed[1].left();
        for (; k; --k) {
            const unsigned char* blocks[2] = {feed[0].next(), feed[1].next()};
            compress<2>(s, blocks);
        }
        for (int n = 0; n < 2; ++n) {
            if (feed[n].left()) continue;
            emit(batch, feed[n], s[n]);
            live[n] = batch.take(feed[n]);
            s[n] = pack(kInitialState);
        }
    }
    // The queue is empty; at most one message is left, part-way through.
    for (int n = 0; n < 2; ++n) {
        if (!live[n]) continue;
        run_alone(s[n], feed[n]);
        emit(batch, feed[n], s[n]);
    }
}

}  // namespace kestrim::sha256::detail

#endif
