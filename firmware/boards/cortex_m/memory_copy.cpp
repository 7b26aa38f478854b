// memcpy, memmove and memset for the Cortex-M images, as plain byte loops.
// The engine copies at most one frame at a time, so speed does not matter
// here, and the C library's word-at-a-time versions cost more flash than
// the engine's whole receive path. Built with
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
}
