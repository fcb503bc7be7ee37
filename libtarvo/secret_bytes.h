/*
 * SecretBytes: a byte vector whose memory is wiped before it is given back,
 * for PINs, private exponents and keys. Every reallocation wipes the old
 * block too, so no copy of a secret is left behind in freed memory.
 */
#ifndef LIBTARVO_SECRET_BYTES_H
#define LIBTARVO_SECRET_BYTES_H

#include <openssl/crypto.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace libtarvo {

template <typename T>
struct WipingAllocator {
    using value_type = T;

    WipingAllocator() = default;
    template <typename U>
    WipingAllocator(const WipingAllocator<U> &) {}

    T *allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
    void deallocate(T *p, std::size_t n) {
        OPENSSL_cleanse(p, n * sizeof(T));
        std::allocator<T>().deallocate(p, n);
    }
    friend bool operator==(const WipingAllocator &, const WipingAllocator &) { return true; }
};

using SecretBytes = std::vector<uint8_t, WipingAllocator<uint8_t>>;

}  // namespace libtarvo

#endif
