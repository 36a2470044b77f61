// Every SHA-256 kernel this build and CPU can run, against OpenSSL's EVP_Digest: every length
// from 0 to 1,100 bytes, batches of mixed lengths, and lengths up to 1 MB. Each message has
// an allocation of its own ending at its last byte, so a kernel reading past a message is
// caught by AddressSanitizer in the sanitizer build. Kernels the CPU lacks are asked for too:
// they must give the same digests through OpenSSL, never run.
//
//   sha256_kernel_check [--seed N]      closing line: "N passed, M failed"; exit 1 on any failure
#include <openssl/evp.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "kestrim_substrate/sha256_kernels.hpp"

namespace {

using namespace kestrim::sha256;
using Digest = unsigned char[kDigestBytes];

struct Tally {
    long passed = 0;
    long failed = 0;
    void check(bool ok, const std::string& what) {
        if (ok) {
            ++passed;
            return;
        }
        if (failed++ < 20) std::printf("FAIL %s\n", what.c_str());
    }
} tally;

// A message in an allocation of exactly offset + len bytes, the offset making its start
// misaligned; len 0 at offset 0 is a null pointer, which the API accepts.
struct Message {
    std::unique_ptr<unsigned char[]> owner;
    const unsigned char* bytes = nullptr;
    std::size_t len = 0;
};

std::mt19937_64 rng;

std::size_t below(std::size_t bound) {
    return std::uniform_int_distribution<std::size_t>(0, bound - 1)(rng);
}

Message make_message(std::size_t len) {
    const std::size_t offset = below(8);
    Message m;
    m.len = len;
    if (len == 0 && offset == 0) return m;
    m.owner.reset(new unsigned char[offset + len]);
    for (std::size_t i = 0; i < offset + len; ++i) m.owner[i] = static_cast<unsigned char>(rng());
    m.bytes = m.owner.get() + offset;
    return m;
}

void reference(const unsigned char* bytes, std::size_t len, unsigned char* out) {
    unsigned int size = 0;
    if (!EVP_Digest(bytes, len, out, &size, EVP_sha256(), nullptr) || size != kDigestBytes) {
        std::printf("EVP_Digest failed\n");
        std::exit(2);
    }
}

std::string hex(const unsigned char* d) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < kDigestBytes; ++i) s += digits[d[i] >> 4], s += digits[d[i] & 15];
    return s;
}

// How a kernel is reached: the public batch entry, a test-only variant of it, or sha256_one.
struct Route {
    std::string name;
    Sha256Kernel kernel;
    bool one = false;
    bool variant = false;
    detail::TestVariant which{};

    bool run(const std::vector<const Message*>& ms,
             std::vector<std::array<unsigned char, 32>>& out) const {
        out.assign(ms.size(), {});
        if (one) {
            for (std::size_t i = 0; i < ms.size(); ++i) {
                if (!sha256_one(kernel, ms[i]->bytes, ms[i]->len, out[i].data())) return false;
            }
            return true;
        }
        std::vector<const unsigned char*> ptrs;
        std::vector<std::size_t> lens;
        for (const Message* m : ms) ptrs.push_back(m->bytes), lens.push_back(m->len);
        auto* digests = reinterpret_cast<unsigned char (*)[kDigestBytes]>(out.data());
        return variant ? detail::sha256_batch_variant(kernel, which, ptrs.data(), lens.data(),
                                                      ms.size(), digests)
                       : sha256_batch(kernel, ptrs.data(), lens.data(), ms.size(), digests);
    }
};

void check_batch(const Route& route, const std::vector<const Message*>& ms, const char* what) {
    std::vector<std::array<unsigned char, 32>> got;
    if (!route.run(ms, got)) {
        tally.check(false, route.name + " " + what + ": reported failure");
        return;
    }
    for (std::size_t i = 0; i < ms.size(); ++i) {
        Digest want;
        reference(ms[i]->bytes, ms[i]->len, want);
        tally.check(std::memcmp(want, got[i].data(), kDigestBytes) == 0,
                    route.name + " " + what + ": message " + std::to_string(i) + " of " +
                        std::to_string(ms.size()) + ", length " + std::to_string(ms[i]->len) +
                        ": got " + hex(got[i].data()) + ", want " + hex(want));
    }
}

std::vector<const Message*> view(const std::vector<Message>& ms) {
    std::vector<const Message*> v;
    for (const Message& m : ms) v.push_back(&m);
    return v;
}

void check_route(const Route& route, const std::vector<Message>& every_length) {
    // Each length alone, then all of them in one batch, in order and reversed: lanes end at
    // different blocks and are refilled while their neighbours are mid-message.
    for (const Message& m : every_length) check_batch(route, {&m}, "alone");
    std::vector<const Message*> all = view(every_length);
    check_batch(route, all, "every length");
    check_batch(route, std::vector<const Message*>(all.rbegin(), all.rend()),
                "every length reversed");

    for (int round = 0; round < 300; ++round) {
        std::vector<Message> ms;
        const std::size_t n = 1 + below(20);
        for (std::size_t i = 0; i < n; ++i)
            ms.push_back(make_message(below(round % 10 ? 1101 : 5000)));
        check_batch(route, view(ms), "mixed batch");
    }

    // Long messages, alone and among short ones, so that one lane runs on long after the
    // queue has emptied.
    std::vector<Message> big;
    for (int i = 0; i < 6; ++i) big.push_back(make_message(below((1u << 20) + 1)));
    big.push_back(make_message(1u << 20));
    for (int i = 0; i < 24; ++i) big.push_back(make_message(below(300)));
    check_batch(route, view(big), "up to 1 MB among short");

    // The same bytes in every lane, and one pointer shared by several lanes.
    const Message& shared = every_length[229];
    check_batch(route, std::vector<const Message*>(37, &shared), "one message in every lane");
}

void check_known_answers(const std::vector<Route>& routes) {
    // FIPS 180-2 examples: they check the reference itself, then every route against them.
    const std::string million(1000000, 'a');
    const struct {
        std::string text;
        const char* digest;
    } known[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {million, "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& k : known) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(k.text.data());
        Digest d;
        reference(bytes, k.text.size(), d);
        tally.check(hex(d) == k.digest,
                    "reference on a known answer of length " + std::to_string(k.text.size()));
        Message m;
        m.bytes = bytes, m.len = k.text.size();
        for (const Route& route : routes) {
            std::vector<std::array<unsigned char, 32>> got;
            tally.check(
                route.run({&m}, got) && hex(got[0].data()) == k.digest,
                route.name + " on a known answer of length " + std::to_string(k.text.size()));
        }
    }
}

void check_empty_batch(const Route& route) {
    // n == 0 touches nothing, not even the pointers.
    Digest untouched;
    std::memset(untouched, 0xA5, sizeof untouched);
    auto* digests = reinterpret_cast<unsigned char (*)[kDigestBytes]>(&untouched);
    const bool ok = sha256_batch(route.kernel, nullptr, nullptr, 0, digests);
    bool same = true;
    for (unsigned char b : untouched) same &= b == 0xA5;
    tally.check(ok && same, route.name + " on an empty batch");
}

void check_choice() {
    const KernelChoice cpu = choose_kernel(nullptr);
    tally.check(cpu.source == ChoiceSource::Cpu && kernel_supported(cpu.kernel),
                "the CPU's own choice is supported");
    tally.check(
        choose_kernel("").source == ChoiceSource::Cpu && choose_kernel("").kernel == cpu.kernel,
        "an empty variable forces nothing");
    for (std::size_t i = 0; i < kKernelCount; ++i) {
        const auto k = static_cast<Sha256Kernel>(i);
        Sha256Kernel parsed;
        tally.check(parse_kernel_name(kernel_name(k), &parsed) && parsed == k,
                    std::string("name round trip of ") + kernel_name(k));
        const KernelChoice c = choose_kernel(kernel_name(k));
        const bool ok = kernel_supported(k)
                            ? c.kernel == k && c.source == ChoiceSource::Forced
                            : c.kernel == cpu.kernel && c.source == ChoiceSource::Refused;
        tally.check(ok, std::string("forcing ") + kernel_name(k) + " gave " +
                            kernel_name(c.kernel) + " (" + choice_source_name(c.source) + ")");
    }
    for (const char* bad : {"AVX2", "sse", "shani ", "avx512x16"}) {
        const KernelChoice c = choose_kernel(bad);
        tally.check(c.kernel == cpu.kernel && c.source == ChoiceSource::Unknown,
                    std::string("forcing '") + bad + "'");
    }
    const KernelChoice env = kernel_choice();
    const KernelChoice want = choose_kernel(std::getenv(kKernelEnvVar));
    tally.check(
        env.kernel == want.kernel && env.source == want.source && best_kernel() == env.kernel,
        "the process's choice follows the variable");
    Sha256Kernel supported[kKernelCount];
    const std::size_t count = supported_kernels(supported);
    tally.check(count >= 1 && supported[0] == Sha256Kernel::OpenSSL,
                "OpenSSL is always supported, first");
}

// Threads hashing at once: each has its own OpenSSL context, and no kernel keeps state
// between calls. Each thread compares against digests computed before any starts.
void check_threads(const std::vector<Route>& routes, const std::vector<Message>& every_length) {
    const std::vector<const Message*> all = view(every_length);
    std::vector<std::array<unsigned char, 32>> want(all.size());
    for (std::size_t i = 0; i < all.size(); ++i)
        reference(all[i]->bytes, all[i]->len, want[i].data());
    for (const Route& route : routes) {
        bool same[4] = {};
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&, t] {
                bool ok = true;
                for (int round = 0; round < 5 && ok; ++round) {
                    std::vector<std::array<unsigned char, 32>> got;
                    ok = route.run(all, got) && got == want;
                }
                same[t] = ok;
            });
        }
        for (std::thread& thread : threads) thread.join();
        for (bool ok : same) tally.check(ok, route.name + " in four threads at once");
    }
}

}  // namespace

int main(int argc, char** argv) {
    unsigned long long seed = 13;
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "--seed") == 0) seed = std::strtoull(argv[i + 1], nullptr, 0);
    }
    rng.seed(seed);

    Sha256Kernel supported[kKernelCount];
    const std::size_t count = supported_kernels(supported);
    const KernelChoice choice = kernel_choice();
    std::printf("seed %llu; supported:", seed);
    for (std::size_t i = 0; i < count; ++i) std::printf(" %s", kernel_name(supported[i]));
    std::printf("; %s=%s -> %s (%s)\n", kKernelEnvVar,
                std::getenv(kKernelEnvVar) ? std::getenv(kKernelEnvVar) : "",
                kernel_name(choice.kernel), choice_source_name(choice.source));

    std::vector<Route> routes;
    for (std::size_t i = 0; i < kKernelCount; ++i) {
        const auto k = static_cast<Sha256Kernel>(i);
        // Unsupported kernels too: they must fall back, not run.
        const std::string tag = kernel_supported(k) ? "" : " (unsupported)";
        routes.push_back({std::string("batch ") + kernel_name(k) + tag, k});
        routes.push_back({std::string("one ") + kernel_name(k) + tag, k, true});
    }
    for (Sha256Kernel k : {Sha256Kernel::Avx2X8, Sha256Kernel::Avx512X16}) {
        if (kernel_supported(k) &&
            detail::test_variant_supported(detail::TestVariant::ScalarStragglers)) {
            routes.push_back({std::string("batch ") + kernel_name(k) + " scalar stragglers", k,
                              false, true, detail::TestVariant::ScalarStragglers});
        }
    }
    if (detail::test_variant_supported(detail::TestVariant::Wide16OnAvx2)) {
        routes.push_back({"batch 16 lanes on avx2", Sha256Kernel::Avx2X8, false, true,
                          detail::TestVariant::Wide16OnAvx2});
    }

    std::vector<Message> every_length;
    for (std::size_t len = 0; len <= 1100; ++len) every_length.push_back(make_message(len));

    check_choice();
    check_known_answers(routes);
    for (const Route& route : routes) {
        const long before = tally.failed;
        check_route(route, every_length);
        if (!route.one) check_empty_batch(route);
        std::printf("  %-40s %s\n", route.name.c_str(), tally.failed == before ? "ok" : "FAILED");
    }
    check_threads(routes, every_length);
    std::printf("%ld passed, %ld failed\n", tally.passed, tally.failed);
    return tally.failed ? 1 : 0;
}
