// The one file that includes OpenSSL. Two of its interfaces, chosen when building:
//   SHA256_Init/Update/Final, deprecated since OpenSSL 3.0 but present in every default
//   build of it: the context lives in the caller's Stream, with no allocation and nothing
//   shared, and the padding is written in place after the message, so that its last blocks
//   are hashed straight from the writer's buffer. The default wherever it exists, because it
//   is the cheaper one.
//   EVP (EVP_DigestInit_ex2/Update/Final_ex): the only one an OpenSSL built without
//   deprecated APIs has, used when this is compiled with OPENSSL_NO_DEPRECATED or
//   OPENSSL_API_COMPAT=30000 (CMake's KESTRIM_OPENSSL_NO_DEPRECATED, which `make test`
//   builds and tests) or with KESTRIM_SHA256_EVP. The digest is fetched once for the process
//   and each thread reuses one context, but OpenSSL 3.0 still frees and reallocates the
//   provider's state on every EVP_DigestInit_ex2. With OpenSSL 3.0.19, bench/callgrind.sh
//   counted 14,258 instructions per delegation_ref call through SHA256_* and 15,205 through
//   EVP (734 more in libcrypto, the rest in malloc and free).
#include "kestrim_substrate/sha256_openssl.hpp"

#include "kestrim_substrate/sha256_kernels.hpp"

// Before any OpenSSL header: the SHA256_* form is deprecated and chosen knowingly; where
// deprecated APIs are compiled out, this changes nothing.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/evp.h>  // first: it settles OPENSSL_NO_DEPRECATED_3_0

#if defined(OPENSSL_NO_DEPRECATED_3_0) || defined(KESTRIM_SHA256_EVP)
#define KESTRIM_SHA256_USE_EVP 1
#include <openssl/err.h>
#else
#include <openssl/sha.h>
#endif

#include <cstring>
#include <new>

namespace kestrim::sha256::openssl {
namespace {

constexpr std::size_t kBlockBytes = 64;

#ifdef KESTRIM_SHA256_USE_EVP

// Fetched once and kept for the life of the process: fetching is a provider lookup under a
// lock, far dearer than the hash of a short message.
const EVP_MD* sha256_md() noexcept {
    static EVP_MD* const md = [] {
        EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
        if (fetched == nullptr) ERR_clear_error();
        return fetched;
    }();
    return md;
}

// One context per thread, reused by each hash on that thread. A hash never starts another
// while it runs, but should one ever do so, it gets a context of its own rather than
// clobber the one in use.
struct ThreadContext {
    EVP_MD_CTX* ctx = nullptr;
    bool busy = false;
    ThreadContext() = default;
    ThreadContext(const ThreadContext&) = delete;
    ThreadContext& operator=(const ThreadContext&) = delete;
    ~ThreadContext() { EVP_MD_CTX_free(ctx); }
};
thread_local ThreadContext t_context;

struct State {
    EVP_MD_CTX* ctx = nullptr;
    bool failed = false;

    State() noexcept {
        ThreadContext& mine = t_context;
        if (!mine.busy) {
            if (mine.ctx == nullptr) mine.ctx = EVP_MD_CTX_new();
            ctx = mine.ctx;
            mine.busy = ctx != nullptr;
        } else {
            ctx = EVP_MD_CTX_new();
        }
        failed = ctx == nullptr || sha256_md() == nullptr ||
                 EVP_DigestInit_ex2(ctx, sha256_md(), nullptr) != 1;
    }
    ~State() {
        if (ctx == nullptr) return;
        if (ctx == t_context.ctx) {
            t_context.busy = false;
        } else {
            EVP_MD_CTX_free(ctx);
        }
    }
    void update(const char* data, std::size_t size) noexcept {
        if (!failed) failed = EVP_DigestUpdate(ctx, data, size) != 1;
    }
    bool finish(char* data, std::size_t size, unsigned char out[32]) noexcept {
        update(data, size);
        unsigned int length = 0;
        if (!failed) failed = EVP_DigestFinal_ex(ctx, out, &length) != 1 || length != 32;
        if (failed) ERR_clear_error();
        return !failed;
    }
};

#else  // SHA256_Init/Update/Final

struct State {
    SHA256_CTX ctx;
    std::uint64_t length = 0;

    State() noexcept { SHA256_Init(&ctx); }
    void update(const char* data, std::size_t size) noexcept {
        SHA256_Update(&ctx, data, size);
        length += size;
    }
    // The padding is written after the message, in place, so that the last blocks go to the
    // hash straight from the caller's buffer: SHA256_Final would copy them into the context
    // first, then clear it. Never fails.
    bool finish(char* data, std::size_t size, unsigned char out[32]) noexcept {
        // The padded message ends on a block boundary; earlier parts need not have.
        update(data, sha256::pad_in_place(data, size, length + size));
        const std::uint32_t* const words = ctx.h;
        sha256::state_digest(words, out);
        return true;
    }
};

#endif

State& state(unsigned char* storage) noexcept {
    return *std::launder(reinterpret_cast<State*>(storage));
}

}  // namespace

bool available() noexcept {
#ifdef KESTRIM_SHA256_USE_EVP
    return sha256_md() != nullptr;
#else
    return true;
#endif
}

bool digest(const unsigned char* msg, std::size_t len, unsigned char out[32]) noexcept {
#ifdef KESTRIM_SHA256_USE_EVP
    State s;
    s.update(reinterpret_cast<const char*>(msg), len);
    unsigned int length = 0;
    const bool ok = !s.failed && EVP_DigestFinal_ex(s.ctx, out, &length) == 1 && length == 32;
    if (!ok) ERR_clear_error();
    return ok;
#else
    SHA256_CTX ctx;
    return SHA256_Init(&ctx) == 1 && SHA256_Update(&ctx, msg, len) == 1 &&
           SHA256_Final(out, &ctx) == 1;
#endif
}

static_assert(sizeof(State) <= 128, "Stream storage too small");
static_assert(alignof(State) <= 16, "Stream storage under-aligned");

Stream::Stream() noexcept { new (storage_) State(); }
Stream::~Stream() { state(storage_).~State(); }
void Stream::update(const char* data, std::size_t size) noexcept {
    state(storage_).update(data, size);
}
bool Stream::finish(char* data, std::size_t size, unsigned char out[32]) noexcept {
    return state(storage_).finish(data, size, out);
}

}  // namespace kestrim::sha256::openssl
