// SHA-256 through OpenSSL, for everything built here: the streaming hash's fallback and the
// kernels' reference path. sha256_openssl.cpp is the one file that includes OpenSSL, so which
// of its interfaces is used is decided in one place (see there).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrim::sha256::openssl {

// Whether OpenSSL offers SHA-256; the first call settles it. Asked once by the module's
// initialisation, so that no hash finds it missing later.
bool available() noexcept;

// One message: false only if OpenSSL failed.
[[nodiscard]] bool digest(const unsigned char* msg, std::size_t len,
                          unsigned char out[32]) noexcept;

// A message given piece by piece. The state lives in the object, on the caller's stack.
class Stream {
public:
    // Room finish() may write past the message's last byte.
    static constexpr std::size_t kMaxPadBytes = 64 + 8;

    Stream() noexcept;
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    void update(const char* data, std::size_t size) noexcept;
    // Appends the last size bytes at data (kMaxPadBytes of room after them) and writes the
    // digest. False if OpenSSL failed at any step; the digest is then not written.
    [[nodiscard]] bool finish(char* data, std::size_t size, unsigned char out[32]) noexcept;

private:
    // Big enough for either interface's state; sha256_openssl.cpp checks it.
    alignas(16) unsigned char storage_[128];
};

}  // namespace kestrim::sha256::openssl
