// What the hand-written SHA-256 kernels share: the constants, a message cut into blocks with
// its padding, and the queue that refills a lane when its message ends. Internal to the
// kernels; callers use sha256_kernels.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "sha256_kernels.hpp"

namespace kestrim::sha256::detail {

inline constexpr std::size_t kBlockBytes = 64;

alignas(64) inline constexpr std::uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

inline constexpr const auto& kInitialState = kInitialHash;

inline std::uint32_t load_be32(const unsigned char* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return __builtin_bswap32(v);
}

inline void store_be32(unsigned char* p, std::uint32_t v) noexcept {
    v = __builtin_bswap32(v);
    std::memcpy(p, &v, 4);
}

// Copies n < 64 bytes, reading and writing only those: two moves of the largest power of
// two not above n, overlapping in the middle. A memcpy or memset of a length known only at run
// time compiles to a loop or a microcoded string instruction (rep stos), whose start-up
// alone outweighs these few bytes; fixed-size moves are a few plain loads and stores.
inline void copy_short(unsigned char* dst, const unsigned char* src, std::size_t n) noexcept {
    if (n >= 32) {
        std::memcpy(dst, src, 32);
        std::memcpy(dst + n - 32, src + n - 32, 32);
    } else if (n >= 16) {
        std::memcpy(dst, src, 16);
        std::memcpy(dst + n - 16, src + n - 16, 16);
    } else if (n >= 8) {
        std::memcpy(dst, src, 8);
        std::memcpy(dst + n - 8, src + n - 8, 8);
    } else if (n >= 4) {
        std::memcpy(dst, src, 4);
        std::memcpy(dst + n - 4, src + n - 4, 4);
    } else if (n > 0) {
        dst[0] = src[0];
        dst[n / 2] = src[n / 2];
        dst[n - 1] = src[n - 1];
    }
}

// A message as the compression function sees it: its whole blocks read in place, then one or
// two padded blocks built here, so no kernel ever reads past the caller's bytes.
struct Feed {
    const unsigned char* data;
    std::size_t whole;  // whole blocks left at data
    std::size_t index;  // which message of the batch
    unsigned tail_blocks;
    unsigned tail_used;
    alignas(64) unsigned char tail[2 * kBlockBytes];

    void start(const unsigned char* msg, std::size_t len, std::size_t at) noexcept {
        data = msg;
        whole = len / kBlockBytes;
        index = at;
        const std::size_t rest = len % kBlockBytes;
        tail_used = 0;
        copy_short(tail, msg + whole * kBlockBytes, rest);
        // The padding the streams use too, ending within the tail's two blocks (rest is under
        // one); its zeros, fewer than a block, are stored inline, where a memset of up to 127
        // bytes here had compiled to rep stos (see copy_short).
        const std::size_t padded = pad_in_place(reinterpret_cast<char*>(tail), rest, len);
        tail_blocks = static_cast<unsigned>(padded / kBlockBytes);
    }

    std::size_t left() const noexcept { return whole + (tail_blocks - tail_used); }

    const unsigned char* next() noexcept {
        if (whole) {
            const unsigned char* block = data;
            data += kBlockBytes;
            --whole;
            return block;
        }
        return tail + kBlockBytes * tail_used++;
    }
};

// The messages still waiting for a lane, handed out in order.
struct Batch {
    const unsigned char* const* msgs;
    const std::size_t* lens;
    unsigned char (*digests)[32];
    std::size_t n;
    std::size_t next;

    bool empty() const noexcept { return next == n; }
    bool take(Feed& feed) noexcept {
        if (next == n) return false;
        feed.start(msgs[next], lens[next], next);
        ++next;
        return true;
    }
    void emit(const Feed& feed, const std::uint32_t state[8]) noexcept {
        state_digest(state, digests[feed.index]);
    }
};

// Runs a lane's remaining blocks alone from the state given; the multi-lane kernels use it
// for their last few messages, when most lanes would otherwise idle.
using FinishLane = void (*)(std::uint32_t state[8], Feed& feed) noexcept;

// How the multi-lane kernels end a batch: once the queue is empty and at most `at` lanes are
// still live, finish moves them on one at a time.
struct Stragglers {
    FinishLane finish;
    std::size_t at;
};

// sha256_shani.cpp: callers check the CPU first.
void shani_finish(std::uint32_t state[8], Feed& feed) noexcept;
void shani_one(const unsigned char* msg, std::size_t len, unsigned char digest[32]) noexcept;
void shani_batch_x1(Batch& batch) noexcept;
// Whole blocks into a running state, for a message that arrives piece by piece.
void shani_compress_blocks(std::uint32_t state[8], const unsigned char* data,
                           std::size_t nblocks) noexcept;
void shani_batch_x2(Batch& batch) noexcept;

// sha256_multibuffer.cpp: callers check the CPU first (the scalar one runs anywhere).
void scalar_finish(std::uint32_t state[8], Feed& feed) noexcept;
void avx2_batch_x8(Batch& batch, Stragglers stragglers) noexcept;
void avx512_batch_x16(Batch& batch, Stragglers stragglers) noexcept;
void avx2_batch_x16(Batch& batch, Stragglers stragglers) noexcept;

}  // namespace kestrim::sha256::detail
