/* What SHA-256 alone costs on this machine, with no Python in the way: the part of every ref
 * that no writer can remove. Hashes a message as long as the bench's six-field object (302
 * canonical bytes, five blocks once padded) through the same OpenSSL calls the substrate
 * makes, in one piece and in 64-byte pieces as the substrate feeds it, and a one-block
 * message for the fixed cost. Prints the minimum over repeats, in ns per message.
 *
 *   make bench-floor        (or: cc -O2 bench/sha256_floor.c -lcrypto && ./a.out)
 */
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

enum { kMessage = 302, kCalls = 100000, kRepeats = 25 };

static unsigned char message[kMessage];

static double now_ns(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e9 + t.tv_nsec;
}

/* The digest of message[0:size], given to the hash in pieces of at most piece bytes. Each
 * digest changes the next message, so no two calls can overlap or be skipped. */
static void hash_once(size_t size, size_t piece) {
    SHA256_CTX ctx;
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256_Init(&ctx);
    for (size_t at = 0; at < size; at += piece) SHA256_Update(&ctx, message + at, size - at < piece ? size - at : piece);
    SHA256_Final(digest, &ctx);
    message[0] ^= digest[0];
}

static double time_ns(size_t size, size_t piece) {
    double best = 1e300;
    for (int r = 0; r < kRepeats; ++r) {
        const double start = now_ns();
        for (int i = 0; i < kCalls; ++i) hash_once(size, piece);
        const double per = (now_ns() - start) / kCalls;
        if (per < best) best = per;
    }
    return best;
}

int main(void) {
    for (size_t i = 0; i < kMessage; ++i) message[i] = (unsigned char)('a' + i % 26);
    const double one_block = time_ns(55, kMessage);
    const double whole = time_ns(kMessage, kMessage);
    const double pieces = time_ns(kMessage, 64);
    printf("SHA-256 through %s, min of %d x %d calls\n", OPENSSL_VERSION_TEXT, kRepeats, kCalls);
    printf("  %-36s %6.1f ns\n", "55 bytes (1 block):", one_block);
    printf("  %-36s %6.1f ns\n", "302 bytes (5 blocks), one piece:", whole);
    printf("  %-36s %6.1f ns\n", "302 bytes (5 blocks), 64-byte pieces:", pieces);
    printf("  %-36s %6.1f ns\n", "each further block:", (whole - one_block) / 4);
    return 0;
}
