// SHA-256 as the writer streams into it: whole blocks while the document is still being
// written, the rest at the end. The compression is SHA-NI's where the CPU has it
// (sha256_kernels.hpp), OpenSSL's otherwise (sha256_openssl.cpp, the one file that includes
// OpenSSL, and where the choice between its interfaces is made).
//
// A part of _jcs.cpp's one translation unit; see text_kernels.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include "kestrim_substrate/sha256_kernels.hpp"
#include "kestrim_substrate/sha256_openssl.hpp"

namespace kestrim {
namespace {

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
    static_assert(sha256::openssl::Stream::kMaxPadBytes <= kMaxPadBytes);

    static bool available() noexcept { return sha256::openssl::available(); }

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
        const std::size_t padded = sha256::pad_in_place(data, size, length_ + size);
        compress_(state_, reinterpret_cast<const unsigned char*>(data), padded / kBlockBytes);
        sha256::state_digest(state_, digest);
        return true;
    }

private:
    const sha256::CompressBlocks compress_;
    std::uint32_t state_[8];
    std::uint64_t length_ = 0;
    std::optional<sha256::openssl::Stream> openssl_;
};

}  // namespace
}  // namespace kestrim
