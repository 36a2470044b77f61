/* SHA-256 of given bytes in C, through OpenSSL, for bench.py to load with ctypes: the floor
 * every row is compared with, measured in the same process as the row itself. No writer and
 * no interpreter can do better than hashing the canonical bytes, so a row's ratio to this
 * floor is what the rest of its work costs.
 *
 * It uses OpenSSL's low-level SHA256_Init/Update/Final: on OpenSSL 3 they cost about 40 ns
 * a message less than the EVP calls (measured side by side), so they make the stricter
 * floor. They are deprecated for applications, which is no concern for a measuring stick.
 *
 * Built by bench.py on first use (cc -O2 -shared -fPIC bench/c_floor.c -lcrypto).
 */
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>
#include <stddef.h>
#include <time.h>

static double now_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e9 + (double)t.tv_nsec;
}

/* ns per message of hashing each of the n messages once, one after another, min over
 * `repeats` rounds of `calls` passes. The calls into OpenSSL are opaque, so none can be
 * skipped. */
double kestrim_sha256_floor_ns(const unsigned char* const* messages, const size_t* lengths,
                               size_t n, long calls, int repeats) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    double best = -1.0;
    if (n == 0) return best;
    for (int r = 0; r < repeats; ++r) {
        const double start = now_ns();
        for (long c = 0; c < calls; ++c) {
            for (size_t i = 0; i < n; ++i) {
                SHA256_CTX ctx;
                SHA256_Init(&ctx);
                SHA256_Update(&ctx, messages[i], lengths[i]);
                SHA256_Final(digest, &ctx);
            }
        }
        const double per = (now_ns() - start) / ((double)calls * (double)n);
        if (best < 0 || per < best) best = per;
    }
    return best;
}
