// SHA-256 as the writer streams into it: whole blocks while the document is still being
// written, the rest at the end. The only file that includes OpenSSL.
//
// Two OpenSSL interfaces, chosen when building:
//   SHA256_Init/Update/Final, deprecated since OpenSSL 3.0 but present in every default
//   build of it: the context lives in the Sha256 object, on the caller's stack, with no
//   allocation and nothing shared, and the padding is written in place after the message,
//   so that its last blocks are hashed straight from the writer's buffer. The default
//   wherever it exists, because it is the cheaper one.
//   EVP (EVP_DigestInit_ex2/Update/Final_ex): the only one an OpenSSL built without
//   deprecated APIs has, and the one used when this is compiled with OPENSSL_NO_DEPRECATED
//   or OPENSSL_API_COMPAT=30000 (CMake's KESTRIM_OPENSSL_NO_DEPRECATED, which `make test`
//   builds and tests) or with KESTRIM_SHA256_EVP. The digest is fetched once for the
//   process and each thread reuses one context, but OpenSSL 3.0 still frees and reallocates
//   the provider's state on every EVP_DigestInit_ex2. With OpenSSL 3.0.19, bench/callgrind.sh
//   counts 14,258 instructions per delegation_ref call through SHA256_* and 15,205 through
//   EVP (734 more in libcrypto, the rest in malloc and free).
// Kept in this header, in _jcs.cpp's one translation unit, so that the calls into OpenSSL
// are made straight from the writer, as they were before the split.
#pragma once

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

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include "kestrim_substrate/sha256_kernels.hpp"

namespace kestrim {
namespace {

#ifdef KESTRIM_SHA256_USE_EVP

// Fetched once and kept for the life of the process. Set under the GIL by the first
// initialisation of the module, before any hash can run.
EVP_MD* g_sha256_md = nullptr;

// One context per thread, reused by each hash on that thread. A hash never starts another
// while it runs (the writer calls no Python code), but should one ever do so, it gets a
// context of its own rather than clobber the one in use.
struct ThreadContext {
    EVP_MD_CTX* ctx = nullptr;
    bool busy = false;
    ThreadContext() = default;
    ThreadContext(const ThreadContext&) = delete;
    ThreadContext& operator=(const ThreadContext&) = delete;
    ~ThreadContext() { EVP_MD_CTX_free(ctx); }
};
thread_local ThreadContext t_sha256_context;

class OpenSslSha256 {
public:
    static constexpr std::size_t kBlockBytes = 64;
    static constexpr std::size_t kDigestBytes = 32;
    // Room finish() may write past the message's last byte (none here; see the other form).
    static constexpr std::size_t kMaxPadBytes = 0;

    // Whether OpenSSL offers SHA-256; fetches it on the first call. The module asks once at
    // initialisation, so a hash never finds it missing.
    static bool available() noexcept {
        if (g_sha256_md == nullptr) {
            g_sha256_md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
            if (g_sha256_md == nullptr) ERR_clear_error();
        }
        return g_sha256_md != nullptr;
    }

    // A hash of the empty message. A failure to start is reported by finish().
    OpenSslSha256() noexcept {
        ThreadContext& mine = t_sha256_context;
        if (!mine.busy) {
            if (mine.ctx == nullptr) mine.ctx = EVP_MD_CTX_new();
            ctx_ = mine.ctx;
            mine.busy = ctx_ != nullptr;
        } else {
            ctx_ = EVP_MD_CTX_new();
        }
        failed_ = ctx_ == nullptr || g_sha256_md == nullptr ||
                  EVP_DigestInit_ex2(ctx_, g_sha256_md, nullptr) != 1;
    }
    ~OpenSslSha256() {
        if (ctx_ == nullptr) return;
        ThreadContext& mine = t_sha256_context;
        if (ctx_ == mine.ctx) {
            mine.busy = false;
        } else {
            EVP_MD_CTX_free(ctx_);
        }
    }
    OpenSslSha256(const OpenSslSha256&) = delete;
    OpenSslSha256& operator=(const OpenSslSha256&) = delete;

    void update(const char* data, std::size_t size) noexcept {
        if (!failed_) failed_ = EVP_DigestUpdate(ctx_, data, size) != 1;
    }

    // Appends the last size bytes and writes the digest. False if OpenSSL failed at any
    // step; the digest is then not written.
    bool finish(char* data, std::size_t size, unsigned char digest[kDigestBytes]) noexcept {
        update(data, size);
        unsigned int length = 0;
        if (!failed_) {
            failed_ = EVP_DigestFinal_ex(ctx_, digest, &length) != 1 || length != kDigestBytes;
        }
        if (failed_) ERR_clear_error();
        return !failed_;
    }

private:
    EVP_MD_CTX* ctx_ = nullptr;
    bool failed_ = false;
};

#else  // SHA256_Init/Update/Final

class OpenSslSha256 {
public:
    static constexpr std::size_t kBlockBytes = SHA256_CBLOCK;
    static constexpr std::size_t kDigestBytes = SHA256_DIGEST_LENGTH;
    // Most that padding adds to a message: the 0x80 byte, zeros, the 8-byte bit length.
    static constexpr std::size_t kMaxPadBytes = kBlockBytes + 8;

    static bool available() noexcept { return true; }

    OpenSslSha256() noexcept { SHA256_Init(&ctx_); }
    void update(const char* data, std::size_t size) noexcept {
        SHA256_Update(&ctx_, data, size);
        length_ += size;
    }
    // The digest, size more bytes at data ending the message. The padding is written after
    // them, in place (kMaxPadBytes of room there), so that the last blocks go to the hash
    // straight from the caller's buffer: SHA256_Final would copy them into the context
    // first, then clear it. Never fails.
    bool finish(char* data, std::size_t size, unsigned char digest[kDigestBytes]) noexcept {
        const std::uint64_t length = length_ + size;
        // The padded message ends on a block boundary; earlier parts need not have.
        const std::size_t zeros = (kBlockBytes - (length + 9) % kBlockBytes) % kBlockBytes;
        const std::size_t padded = size + 1 + zeros + 8;
        data[size] = static_cast<char>(0x80);
        std::memset(data + size + 1, 0, zeros);
        const std::uint64_t bits = length * 8;
        for (int i = 0; i < 8; ++i) data[padded - 1 - i] = static_cast<char>(bits >> (8 * i));
        update(data, padded);
        for (int i = 0; i < 8; ++i) {
            const std::uint32_t h = ctx_.h[i];
            digest[4 * i] = static_cast<unsigned char>(h >> 24);
            digest[4 * i + 1] = static_cast<unsigned char>(h >> 16);
            digest[4 * i + 2] = static_cast<unsigned char>(h >> 8);
            digest[4 * i + 3] = static_cast<unsigned char>(h);
        }
        return true;
    }

private:
    SHA256_CTX ctx_;
    std::uint64_t length_ = 0;
};

#endif

// The streaming compression when the CPU offers a faster one than OpenSSL (SHA-NI), null
// otherwise. Set under the GIL by the module's initialisation, before any hash can run.
sha256::CompressBlocks g_compress_blocks = nullptr;

// What the writer streams into: the hand-written compression where there is one, OpenSSL
// otherwise. Every piece update() is given is whole blocks (the Sink keeps the rest back), so
// the running state needs no buffer of its own; finish() pads in place after the message, as
// the SHA256_* form does, and the last blocks are hashed from the writer's buffer.
class Sha256 {
public:
    static constexpr std::size_t kBlockBytes = 64;
    static constexpr std::size_t kDigestBytes = 32;
    // Most that padding adds to a message: the 0x80 byte, zeros, the 8-byte bit length.
    static constexpr std::size_t kMaxPadBytes = kBlockBytes + 8;
    static_assert(OpenSslSha256::kMaxPadBytes <= kMaxPadBytes);

    static bool available() noexcept { return OpenSslSha256::available(); }

    Sha256() noexcept : compress_(g_compress_blocks) {
        if (compress_ != nullptr) {
            std::memcpy(state_, sha256::kInitialHash, sizeof state_);
        } else {
            openssl_.emplace();
        }
    }
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    // size is a whole number of blocks.
    void update(const char* data, std::size_t size) noexcept {
        if (compress_ == nullptr) return openssl_->update(data, size);
        compress_(state_, reinterpret_cast<const unsigned char*>(data), size / kBlockBytes);
        length_ += size;
    }

    // The digest, size more bytes at data ending the message, kMaxPadBytes of room after
    // them. False if OpenSSL failed; the hand-written path cannot.
    bool finish(char* data, std::size_t size, unsigned char digest[kDigestBytes]) noexcept {
        if (compress_ == nullptr) return openssl_->finish(data, size, digest);
        const std::uint64_t length = length_ + size;
        const std::size_t zeros = (kBlockBytes - (length + 9) % kBlockBytes) % kBlockBytes;
        const std::size_t padded = size + 1 + zeros + 8;
        data[size] = static_cast<char>(0x80);
        std::memset(data + size + 1, 0, zeros);
        const std::uint64_t bits = length * 8;
        for (int i = 0; i < 8; ++i) data[padded - 1 - i] = static_cast<char>(bits >> (8 * i));
        compress_(state_, reinterpret_cast<const unsigned char*>(data), padded / kBlockBytes);
        for (int i = 0; i < 8; ++i) {
            const std::uint32_t h = state_[i];
            digest[4 * i] = static_cast<unsigned char>(h >> 24);
            digest[4 * i + 1] = static_cast<unsigned char>(h >> 16);
            digest[4 * i + 2] = static_cast<unsigned char>(h >> 8);
            digest[4 * i + 3] = static_cast<unsigned char>(h);
        }
        return true;
    }

private:
    const sha256::CompressBlocks compress_;
    std::uint32_t state_[8];
    std::uint64_t length_ = 0;
    std::optional<OpenSslSha256> openssl_;
};

}  // namespace
}  // namespace kestrim
