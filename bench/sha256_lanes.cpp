// SHA-256 of many independent 229-byte messages (a typical envelope's canonical bytes, four
// blocks once padded), in ns per message, for each kernel this CPU supports, against the
// floor: OpenSSL one message at a time through EVP with a reused context. All rows run in
// one process, each the minimum over repeats, so the ratios hold on a noisy machine.
//
//   sha256_lanes [--len BYTES] [--batch MESSAGES] [--repeats N]
//   (make bench-kernels builds it in build/kernels/on and runs it)
//   sha256_lanes --count KERNEL [--batch MESSAGES]: one batch through one kernel, untimed, for
//   instruction counts:  valgrind --tool=callgrind --toggle-collect='*sha256_batch*' ...
//   (valgrind runs AVX2 but neither SHA-NI nor AVX-512, so it counts avx2 and openssl only)
#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "kestrim_substrate/sha256_kernels.hpp"

namespace {

using namespace kestrim::sha256;
using Clock = std::chrono::steady_clock;

struct Messages {
    std::vector<std::vector<unsigned char>> storage;
    std::vector<const unsigned char*> ptrs;
    std::vector<std::size_t> lens;
    std::vector<std::array<unsigned char, kDigestBytes>> digests;
};

struct Row {
    std::string label;
    std::function<void()> body;  // hashes every message of the batch once
    std::size_t calls = 1;
    double best = 1e300;
};

// Each row is called often enough per repeat for the clock to be far coarser than a call;
// the repeats go round the rows, so a burst of load from elsewhere costs every row alike
// rather than whichever ran during it. Keeps each row's best repeat, in ns per message.
void time_rows(std::vector<Row>& rows, std::size_t batch, int repeats) {
    for (Row& row : rows) {
        for (;;) {
            const auto start = Clock::now();
            for (std::size_t c = 0; c < row.calls; ++c) row.body();
            if (Clock::now() - start > std::chrono::milliseconds(2)) break;
            row.calls *= 2;
        }
    }
    for (int r = 0; r < repeats; ++r) {
        for (Row& row : rows) {
            const auto start = Clock::now();
            for (std::size_t c = 0; c < row.calls; ++c) row.body();
            const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
            row.best = std::min(row.best, ns / double(row.calls * batch));
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::size_t len = 229, batch = 256;
    int repeats = 30;
    const char* count_only = nullptr;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--count")) count_only = argv[i + 1];
        if (!std::strcmp(argv[i], "--len")) len = std::strtoul(argv[i + 1], nullptr, 10);
        if (!std::strcmp(argv[i], "--batch")) batch = std::strtoul(argv[i + 1], nullptr, 10);
        if (!std::strcmp(argv[i], "--repeats")) repeats = std::atoi(argv[i + 1]);
    }
    if (batch == 0) batch = 1;
    Messages m;
    std::mt19937 rng(229);
    for (std::size_t i = 0; i < batch; ++i) {
        std::vector<unsigned char> bytes(len);
        for (auto& b : bytes) b = static_cast<unsigned char>(rng());
        m.storage.push_back(std::move(bytes));
    }
    for (auto& s : m.storage) m.ptrs.push_back(s.data()), m.lens.push_back(s.size());
    m.digests.resize(batch);
    auto* out = reinterpret_cast<unsigned char(*)[kDigestBytes]>(m.digests.data());

    if (count_only) {
        Sha256Kernel kernel;
        if (!parse_kernel_name(count_only, &kernel) || !kernel_supported(kernel)) return 2;
        return sha256_batch(kernel, m.ptrs.data(), m.lens.data(), batch, out) ? 0 : 1;
    }

    EVP_MD* md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (!md || !ctx) return 2;
    bool ok = true;
    std::vector<Row> rows;
    rows.push_back({"floor: OpenSSL EVP one at a time", [&] {
                        for (std::size_t i = 0; i < batch; ++i) {
                            unsigned int size;
                            ok &= EVP_DigestInit_ex2(ctx, md, nullptr) && EVP_DigestUpdate(ctx, m.ptrs[i], len) &&
                                  EVP_DigestFinal_ex(ctx, out[i], &size);
                        }
                    }});
    Sha256Kernel supported[kKernelCount];
    const std::size_t count = supported_kernels(supported);
    for (std::size_t k = 0; k < count; ++k) {
        const Sha256Kernel kernel = supported[k];
        char label[64];
        std::snprintf(label, sizeof label, "sha256_batch %s (%zu lane%s)", kernel_name(kernel),
                      kernel_lanes(kernel), kernel_lanes(kernel) > 1 ? "s" : "");
        rows.push_back({label, [&, kernel] { ok &= sha256_batch(kernel, m.ptrs.data(), m.lens.data(), batch, out); }});
    }
    for (Sha256Kernel kernel : {Sha256Kernel::OpenSSL, Sha256Kernel::ShaNi}) {
        if (!kernel_supported(kernel)) continue;
        rows.push_back({std::string("sha256_one ") + kernel_name(kernel), [&, kernel] {
                            for (std::size_t i = 0; i < batch; ++i) ok &= sha256_one(kernel, m.ptrs[i], len, out[i]);
                        }});
    }
    time_rows(rows, batch, repeats);

    std::printf("SHA-256 of %zu-byte messages, batches of %zu, min of %d repeats, ns per message\n", len, batch,
                repeats);
    for (const Row& row : rows) {
        std::printf("  %-34s %7.1f ns   %.2fx\n", row.label.c_str(), row.best, row.best / rows[0].best);
    }
    const KernelChoice choice = kernel_choice();
    std::printf("best_kernel(): %s (%s)\n", kernel_name(choice.kernel), choice_source_name(choice.source));
    EVP_MD_CTX_free(ctx);
    EVP_MD_free(md);
    return ok ? 0 : 1;
}
