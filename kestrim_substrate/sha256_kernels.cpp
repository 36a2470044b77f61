// Which SHA-256 kernel runs: what the CPU offers, what the environment forces, and the
// OpenSSL path (sha256_openssl.cpp) every other kernel is checked against and falls back to.
#include "sha256_kernels.hpp"

#include <cstdlib>
#include <cstring>

#include "sha256_lanes.hpp"
#include "sha256_openssl.hpp"

#if KESTRIM_HAND_KERNELS && (defined(__x86_64__) || defined(__i386__))
#define KESTRIM_X86_KERNELS 1
#include <cpuid.h>
#else
#define KESTRIM_X86_KERNELS 0
#endif

namespace kestrim::sha256 {
namespace {

struct KernelInfo {
    const char* name;
    std::size_t lanes;
};
constexpr KernelInfo kKernels[kKernelCount] = {
    {"openssl", 1}, {"shani", 1}, {"shani-x2", 2}, {"avx2", 8}, {"avx512", 16},
};

struct CpuFeatures {
    bool shani = false;
    bool avx2 = false;
    bool avx512 = false;
};

#if KESTRIM_X86_KERNELS
// The OS must save the wider registers on a context switch before they may be used: CPUID's
// feature bits alone do not say so, XCR0 does.
std::uint64_t read_xcr0() noexcept {
    std::uint32_t lo, hi;
    __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    return (static_cast<std::uint64_t>(hi) << 32) | lo;
}

CpuFeatures detect_cpu() noexcept {
    CpuFeatures cpu;
    unsigned a, b, c, d;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return cpu;
    const bool ssse3 = c & (1u << 9), sse41 = c & (1u << 19);
    const bool osxsave = c & (1u << 27), avx = c & (1u << 28);
    if (__get_cpuid_max(0, nullptr) < 7) return cpu;
    __cpuid_count(7, 0, a, b, c, d);
    const bool avx2 = b & (1u << 5), avx512f = b & (1u << 16), sha = b & (1u << 29);
    const bool avx512vl = b & (1u << 31);
    const std::uint64_t xcr0 = osxsave ? read_xcr0() : 0;
    const bool ymm_saved = (xcr0 & 0x6) == 0x6;    // SSE and AVX state
    const bool zmm_saved = (xcr0 & 0xE6) == 0xE6;  // plus opmask and both ZMM halves
    cpu.shani = sha && ssse3 && sse41;
    cpu.avx2 = avx && avx2 && ymm_saved;
    cpu.avx512 = cpu.avx2 && avx512f && avx512vl && zmm_saved;
    return cpu;
}
#endif

const CpuFeatures& cpu() noexcept {
#if KESTRIM_X86_KERNELS
    static const CpuFeatures features = detect_cpu();
#else
    static const CpuFeatures features;
#endif
    return features;
}

// The order to prefer when nothing is forced, per 229-byte message against OpenSSL one at a
// time (bench/sha256_lanes.cpp): on an Intel Xeon, sixteen AVX-512 lanes took 66-75 ns where
// SHA-NI two-way took 105; on an AMD EPYC without AVX-512, SHA-NI two-way is 0.45x the
// OpenSSL floor and eight AVX2 lanes 0.9x, so AVX2 wins only where SHA-NI is missing. A fixed
// order, not a timing at start-up, so that one machine always runs the same code.
constexpr Sha256Kernel kPreference[] = {Sha256Kernel::Avx512X16, Sha256Kernel::ShaNiX2,
                                        Sha256Kernel::Avx2X8, Sha256Kernel::OpenSSL};

bool openssl_batch(const unsigned char* const* msgs, const std::size_t* lens, std::size_t n,
                   unsigned char (*digests)[kDigestBytes]) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        if (!openssl::digest(msgs[i], lens[i], digests[i])) return false;
    }
    return true;
}

}  // namespace

const char* kernel_name(Sha256Kernel kernel) noexcept {
    const auto i = static_cast<std::size_t>(kernel);
    return i < kKernelCount ? kKernels[i].name : "unknown";
}

bool parse_kernel_name(const char* text, Sha256Kernel* out) noexcept {
    if (!text) return false;
    for (std::size_t i = 0; i < kKernelCount; ++i) {
        if (std::strcmp(text, kKernels[i].name) == 0) {
            *out = static_cast<Sha256Kernel>(i);
            return true;
        }
    }
    return false;
}

std::size_t kernel_lanes(Sha256Kernel kernel) noexcept {
    const auto i = static_cast<std::size_t>(kernel);
    return i < kKernelCount ? kKernels[i].lanes : 1;
}

bool kernel_supported(Sha256Kernel kernel) noexcept {
    switch (kernel) {
        case Sha256Kernel::OpenSSL: return true;
        case Sha256Kernel::ShaNi:
        case Sha256Kernel::ShaNiX2: return cpu().shani;
        case Sha256Kernel::Avx2X8: return cpu().avx2;
        case Sha256Kernel::Avx512X16: return cpu().avx512;
    }
    return false;
}

std::size_t supported_kernels(Sha256Kernel (&out)[kKernelCount]) noexcept {
    std::size_t count = 0;
    for (std::size_t i = 0; i < kKernelCount; ++i) {
        const auto kernel = static_cast<Sha256Kernel>(i);
        if (kernel_supported(kernel)) out[count++] = kernel;
    }
    return count;
}

const char* choice_source_name(ChoiceSource source) noexcept {
    switch (source) {
        case ChoiceSource::Cpu: return "cpu";
        case ChoiceSource::Forced: return "forced";
        case ChoiceSource::Refused: return "refused";
        case ChoiceSource::Unknown: return "unknown";
    }
    return "?";
}

KernelChoice choose_kernel(const char* forced) noexcept {
    Sha256Kernel detected = Sha256Kernel::OpenSSL;
    for (Sha256Kernel kernel : kPreference) {
        if (kernel_supported(kernel)) {
            detected = kernel;
            break;
        }
    }
    if (!forced || !*forced) return {detected, ChoiceSource::Cpu};
    Sha256Kernel named;
    if (!parse_kernel_name(forced, &named)) return {detected, ChoiceSource::Unknown};
    if (!kernel_supported(named)) return {detected, ChoiceSource::Refused};
    return {named, ChoiceSource::Forced};
}

KernelChoice kernel_choice() noexcept {
    static const KernelChoice choice = choose_kernel(std::getenv(kKernelEnvVar));
    return choice;
}

Sha256Kernel best_kernel() noexcept { return kernel_choice().kernel; }

namespace {

#if KESTRIM_X86_KERNELS
// A lane left alone costs a whole register's work per block. SHA-NI on one message is a
// little faster per block than an AVX-512 lane in a full register and much faster than an
// AVX2 one, so with SHA-NI the lanes go alone once half are idle; the scalar code is about
// twice as slow, so without SHA-NI they wait until three quarters are.
detail::Stragglers stragglers(std::size_t lanes) noexcept {
    if (cpu().shani) return {detail::shani_finish, lanes / 2};
    return {detail::scalar_finish, lanes / 4};
}
#endif

}  // namespace

bool sha256_batch(Sha256Kernel kernel, const unsigned char* const* msgs, const std::size_t* lens,
                  std::size_t n, unsigned char (*digests)[kDigestBytes]) noexcept {
#if KESTRIM_X86_KERNELS
    if (kernel != Sha256Kernel::OpenSSL && kernel_supported(kernel)) {
        detail::Batch batch{msgs, lens, digests, n, 0};
        switch (kernel) {
            case Sha256Kernel::ShaNi: detail::shani_batch_x1(batch); return true;
            case Sha256Kernel::ShaNiX2: detail::shani_batch_x2(batch); return true;
            case Sha256Kernel::Avx2X8: detail::avx2_batch_x8(batch, stragglers(8)); return true;
            case Sha256Kernel::Avx512X16:
                detail::avx512_batch_x16(batch, stragglers(16));
                return true;
            case Sha256Kernel::OpenSSL: break;
        }
    }
#else
    (void)kernel;
#endif
    return openssl_batch(msgs, lens, n, digests);
}

bool sha256_one(Sha256Kernel kernel, const unsigned char* msg, std::size_t len,
                unsigned char digest[kDigestBytes]) noexcept {
#if KESTRIM_X86_KERNELS
    if (kernel != Sha256Kernel::OpenSSL && cpu().shani) {
        detail::shani_one(msg, len, digest);
        return true;
    }
#else
    (void)kernel;
#endif
    return openssl::digest(msg, len, digest);
}

CompressBlocks streaming_compress() noexcept {
#if KESTRIM_X86_KERNELS
    if (best_kernel() != Sha256Kernel::OpenSSL && cpu().shani) return detail::shani_compress_blocks;
#endif
    return nullptr;
}

namespace detail {

bool test_variant_supported(TestVariant variant) noexcept {
#if KESTRIM_X86_KERNELS
    switch (variant) {
        case TestVariant::ScalarStragglers: return true;
        case TestVariant::Wide16OnAvx2: return cpu().avx2;
    }
#else
    (void)variant;
#endif
    return false;
}

bool sha256_batch_variant(Sha256Kernel kernel, TestVariant variant,
                          const unsigned char* const* msgs, const std::size_t* lens, std::size_t n,
                          unsigned char (*digests)[kDigestBytes]) noexcept {
#if KESTRIM_X86_KERNELS
    Batch batch{msgs, lens, digests, n, 0};
    if (variant == TestVariant::Wide16OnAvx2 && cpu().avx2) {
        avx2_batch_x16(batch, stragglers(16));
        return true;
    }
    if (variant == TestVariant::ScalarStragglers) {
        if (kernel == Sha256Kernel::Avx2X8 && cpu().avx2) {
            avx2_batch_x8(batch, {scalar_finish, 2});
            return true;
        }
        if (kernel == Sha256Kernel::Avx512X16 && cpu().avx512) {
            avx512_batch_x16(batch, {scalar_finish, 4});
            return true;
        }
    }
#else
    (void)kernel, (void)variant;
#endif
    return sha256_batch(kernel, msgs, lens, n, digests);
}

}  // namespace detail

}  // namespace kestrim::sha256
