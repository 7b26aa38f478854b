// The C library's memory functions that the engine and the link use, for
// the Cortex-M images, as plain byte loops. They touch at most one frame at
// a time, so speed does not matter here, and the library's word-at-a-time
// versions cost more flash than the engine's whole receive path. Built with
// -fno-tree-loop-distribute-patterns, so that the compiler does not turn
// these loops back into calls to themselves.
#include <stddef.h>
#include <stdint.h>

extern "C" {

void* memcpy(void* dst, const void* src, size_t len)
{
    auto* to = static_cast<uint8_t*>(dst);
    const auto* from = static_cast<const uint8_t*>(src);
    while (len-- != 0) {
        *to++ = *from++;
    }
    return dst;
}

// Copies backwards when the destination lies above an overlapping source.
void* memmove(void* dst, const void* src, size_t len)
{
    auto* to = static_cast<uint8_t*>(dst);
    const auto* from = static_cast<const uint8_t*>(src);
    if (to <= from || to >= from + len) {
        return memcpy(dst, src, len);
    }
    while (len-- != 0) {
        to[len] = from[len];
    }
    return dst;
}

void* memset(void* dst, int value, size_t len)
{
    auto* to = static_cast<uint8_t*>(dst);
    while (len-- != 0) {
        *to++ = static_cast<uint8_t>(value);
    }
    return dst;
}

void* memchr(const void* src, int value, size_t len)
{
    const auto* from = static_cast<const uint8_t*>(src);
    for (; len != 0; --len, ++from) {
        if (*from == static_cast<uint8_t>(value)) {
            return const_cast<uint8_t*>(from);
        }
    }
    return nullptr;
}
}
