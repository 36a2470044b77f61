// SHA-256 of one message or of many independent messages at once, with no Python in sight.
//
// A chain walk hashes many short messages (about 229 bytes, four blocks each) whose digests
// do not depend on one another. One message at a time leaves the CPU waiting on a single
// dependency chain; hashing several at once fills that wait: SHA-NI with two chains
// interleaved, or AVX2/AVX-512 with one message per 32-bit lane (8 or 16 lanes). Every
// hand-written kernel is checked against OpenSSL (tests/native/sha256_kernel_check.cpp), and
// the build switch KESTRIM_HAND_KERNELS=OFF leaves all of them out, so OpenSSL is then the
// only path and every kernel name below maps onto it.
//
// The caller owns every buffer: messages in, 32 raw digest bytes out, nothing allocated on
// the way (the OpenSSL path keeps one digest context per thread, made on its first use).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace kestrim::sha256 {

inline constexpr std::size_t kDigestBytes = 32;
inline constexpr std::size_t kKernelCount = 5;
// The environment variable that forces a kernel for the whole process, read once.
inline constexpr const char* kKernelEnvVar = "KESTRIM_SHA256_KERNEL";

enum class Sha256Kernel : unsigned char {
    OpenSSL,    // one message at a time through OpenSSL (sha256_openssl.cpp)
    ShaNi,      // SHA-NI, one message at a time
    ShaNiX2,    // SHA-NI, two messages interleaved
    Avx2X8,     // AVX2, eight messages in 32-bit lanes
    Avx512X16,  // AVX-512, sixteen messages in 32-bit lanes
};

// "openssl", "shani", "shani-x2", "avx2", "avx512": the values the variable accepts.
const char* kernel_name(Sha256Kernel kernel) noexcept;
bool parse_kernel_name(const char* text, Sha256Kernel* out) noexcept;
// How many messages the kernel has in flight at once.
std::size_t kernel_lanes(Sha256Kernel kernel) noexcept;

// Compiled in, present on this CPU, and (for AVX and AVX-512) enabled by the OS.
bool kernel_supported(Sha256Kernel kernel) noexcept;
// The supported kernels in enum order (OpenSSL always first); returns how many.
std::size_t supported_kernels(Sha256Kernel (&out)[kKernelCount]) noexcept;

enum class ChoiceSource : unsigned char {
    Cpu,      // nothing forced (variable unset or empty): the CPU decided
    Forced,   // the variable named a supported kernel
    Refused,  // the variable named a kernel this build or CPU cannot run: the CPU decided
    Unknown,  // the variable named no kernel at all: the CPU decided
};
struct KernelChoice {
    Sha256Kernel kernel;
    ChoiceSource source;
};
const char* choice_source_name(ChoiceSource source) noexcept;

// What the variable's value would choose on this CPU; null means unset. Pure, for tests.
KernelChoice choose_kernel(const char* forced) noexcept;
// choose_kernel(getenv(kKernelEnvVar)), decided once per process.
KernelChoice kernel_choice() noexcept;
// The batch kernel to use: kernel_choice().kernel.
Sha256Kernel best_kernel() noexcept;

// Hashes msgs[i][0:lens[i]] into digests[i] for i < n; lengths may differ freely. A kernel
// that is not supported is never run: its batch goes through OpenSSL instead. msgs[i] may be
// null when lens[i] is 0. No digest may overlap any message: lanes still read messages after
// other lanes' digests are written. False only when OpenSSL itself fails (digests then
// undefined).
[[nodiscard]] bool sha256_batch(Sha256Kernel kernel, const unsigned char* const* msgs,
                                const std::size_t* lens, std::size_t n,
                                unsigned char (*digests)[kDigestBytes]) noexcept;

// One message. A multi-lane kernel has nothing to interleave here, so its single-message
// member runs instead: SHA-NI where the CPU has it, else OpenSSL. Forcing "openssl" makes
// this OpenSSL too.
[[nodiscard]] bool sha256_one(Sha256Kernel kernel, const unsigned char* msg, std::size_t len,
                              unsigned char digest[kDigestBytes]) noexcept;

// A message that arrives piece by piece (the canonical writer streams its buffer into the
// hash): whole 64-byte blocks compressed into a running state of eight words, the caller
// padding the last ones itself. The SHA-NI compression when the CPU has it and the choice
// (kernel_choice) is not "openssl", decided once per process; null otherwise, and the caller
// then hashes through OpenSSL. A multi-lane kernel has nothing to interleave in one message,
// so, as in sha256_one, forcing one leaves the stream on SHA-NI.
using CompressBlocks = void (*)(std::uint32_t state[8], const unsigned char* data,
                                std::size_t nblocks) noexcept;
CompressBlocks streaming_compress() noexcept;
inline constexpr std::uint32_t kInitialHash[8] = {
    0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19,
};

// SHA-256's padding written in place after the last `size` bytes at data of a message
// `total` bytes long: 0x80, zeros, the bit length. Returns how many bytes from data on then
// make whole blocks; data needs 64 + 8 bytes of room after those `size`. The streams that
// hash their last blocks straight from the writer's buffer (SHA-NI and SHA256_*) share it.
inline std::size_t pad_in_place(char* data, std::size_t size, std::uint64_t total) noexcept {
    const std::size_t zeros = static_cast<std::size_t>((64 - (total + 9) % 64) % 64);
    const std::size_t padded = size + 1 + zeros + 8;
    data[size] = static_cast<char>(0x80);
    std::memset(data + size + 1, 0, zeros);
    const std::uint64_t bits = total * 8;
    for (std::size_t i = 0; i < 8; ++i) data[padded - 1 - i] = static_cast<char>(bits >> (8 * i));
    return padded;
}

// The digest of a finished state: its eight words, big-endian.
inline void state_digest(const std::uint32_t state[8], unsigned char out[32]) noexcept {
#ifdef __SSE2__
    // Whole 16-byte stores, so that to_hex's 16-byte loads of the digest are served from the
    // store buffer. Written byte by byte, the compiler assembled the bytes in registers and
    // reloaded them across two stores, and to_hex's loads then spanned smaller stores again:
    // two forwarding stalls, which cost a delegation_ref call 25-38 ns.
    for (int half = 0; half < 2; ++half) {
        __m128i words = _mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4 * half));
        words = _mm_or_si128(_mm_slli_epi16(words, 8), _mm_srli_epi16(words, 8));
        words = _mm_shufflehi_epi16(_mm_shufflelo_epi16(words, 0xB1), 0xB1);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * half), words);
    }
#else
    for (int i = 0; i < 8; ++i) {
        out[4 * i] = static_cast<unsigned char>(state[i] >> 24);
        out[4 * i + 1] = static_cast<unsigned char>(state[i] >> 16);
        out[4 * i + 2] = static_cast<unsigned char>(state[i] >> 8);
        out[4 * i + 3] = static_cast<unsigned char>(state[i]);
    }
#endif
}

namespace detail {
// Variants that only the native check runs, so that code this CPU would otherwise never
// reach is still exercised here.
enum class TestVariant : unsigned char {
    ScalarStragglers,  // multi-lane kernels finish their last lanes without SHA-NI
    Wide16OnAvx2,      // the 16-lane driver and rounds, compiled for AVX2
};
bool test_variant_supported(TestVariant variant) noexcept;
[[nodiscard]] bool sha256_batch_variant(Sha256Kernel kernel, TestVariant variant,
                                        const unsigned char* const* msgs, const std::size_t* lens,
                                        std::size_t n,
                                        unsigned char (*digests)[kDigestBytes]) noexcept;
}  // namespace detail

}  // namespace kestrim::sha256
