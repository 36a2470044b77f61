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
// empty and few lanes are left they finish one at a time rather than occupying a whole
// register each.
#include "sha256_lanes.hpp"

#include <cstdint>

#if defined(__x86_64__) || defined(__i386__)

namespace kestrim::sha256::detail {
namespace {

#define KESTRIM_INLINE __attribute__((always_inline)) inline

// A macro, not a function: a function returning a wide vector would be declared for the
// baseline ABI, which GCC warns about, even though it is always inlined.
#define KESTRIM_ROTR(x, n) (((x) >> (n)) | ((x) << (32 - (n))))

// Words t of every lane's block, one vector per word. Loading each lane's word and building
// the vector from memory is what every ISA can do; the compiler turns it into inserts.
template <class V, std::size_t L>
KESTRIM_INLINE void load_schedule(V (&w)[16], const unsigned char* const* blocks) {
    for (int t = 0; t < 16; ++t) {
        alignas(64) std::uint32_t column[L];
        for (std::size_t i = 0; i < L; ++i) column[i] = load_be32(blocks[i] + 4 * t);
        std::memcpy(&w[t], column, sizeof(V));
    }
}

// One block for every lane. st holds the lanes' states word by word: st[j][i] is word j of
// lane i, so each word is one vector load.
template <class V, std::size_t L>
KESTRIM_INLINE void rounds(std::uint32_t (*st)[L], const unsigned char* const* blocks) {
    V w[16];
    load_schedule<V, L>(w, blocks);
    V s[8];
    for (int j = 0; j < 8; ++j) std::memcpy(&s[j], st[j], sizeof(V));
    V a = s[0], b = s[1], c = s[2], d = s[3], e = s[4], f = s[5], g = s[6], h = s[7];
#pragma GCC unroll 64
    for (int t = 0; t < 64; ++t) {
        if (t >= 16) {
            const V w2 = w[(t - 2) & 15], w15 = w[(t - 15) & 15];
            w[t & 15] += (KESTRIM_ROTR(w2, 17) ^ KESTRIM_ROTR(w2, 19) ^ (w2 >> 10)) + w[(t - 7) & 15] +
                         (KESTRIM_ROTR(w15, 7) ^ KESTRIM_ROTR(w15, 18) ^ (w15 >> 3));
        }
        const V t1 = h + (KESTRIM_ROTR(e, 6) ^ KESTRIM_ROTR(e, 11) ^ KESTRIM_ROTR(e, 25)) + (g ^ (e & (f ^ g))) +
                     kRoundConstants[t] + w[t & 15];
        const V t2 = (KESTRIM_ROTR(a, 2) ^ KESTRIM_ROTR(a, 13) ^ KESTRIM_ROTR(a, 22)) + ((a & b) | (c & (a | b)));
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

typedef std::uint32_t u32x8 __attribute__((vector_size(32)));
typedef std::uint32_t u32x16 __attribute__((vector_size(64)));

__attribute__((target("avx2"))) void compress_avx2_x8(std::uint32_t (*st)[8],
                                                      const unsigned char* const* blocks) noexcept {
    rounds<u32x8, 8>(st, blocks);
}

__attribute__((target("avx512f,avx512vl"))) void compress_avx512_x16(std::uint32_t (*st)[16],
                                                                     const unsigned char* const* blocks) noexcept {
    rounds<u32x16, 16>(st, blocks);
}

// The 16-lane code on AVX2 (each vector op split in two), so that this driver and these
// rounds are checked on CPUs without AVX-512.
__attribute__((target("avx2"))) void compress_avx2_x16(std::uint32_t (*st)[16],
                                                       const unsigned char* const* blocks) noexcept {
    rounds<u32x16, 16>(st, blocks);
}

void compress_scalar(std::uint32_t (*st)[1], const unsigned char* const* blocks) noexcept {
    rounds<std::uint32_t, 1>(st, blocks);
}

template <std::size_t L>
void column(const std::uint32_t (*st)[L], std::size_t lane, std::uint32_t out[8]) noexcept {
    for (int j = 0; j < 8; ++j) out[j] = st[j][lane];
}

template <std::size_t L, void (*Compress)(std::uint32_t (*)[L], const unsigned char* const*) noexcept>
void run_lanes(Batch& batch, FinishLane finish) noexcept {
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
        if (batch.empty() && active * 4 <= L) {
            for (std::size_t i = 0; i < L; ++i) {
                if (!live[i]) continue;
                std::uint32_t state[8];
                column<L>(st, i, state);
                finish(state, feed[i]);
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

void avx2_batch_x8(Batch& batch, FinishLane finish) noexcept { run_lanes<8, compress_avx2_x8>(batch, finish); }

void avx512_batch_x16(Batch& batch, FinishLane finish) noexcept {
    run_lanes<16, compress_avx512_x16>(batch, finish);
}

void avx2_batch_x16(Batch& batch, FinishLane finish) noexcept { run_lanes<16, compress_avx2_x16>(batch, finish); }

}  // namespace kestrim::sha256::detail

#endif
