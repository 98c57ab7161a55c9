#pragma once

// What glibc offers and the Windows runtime lacks, under glibc's names.

#include <windows.h>

#include <cstddef>

// Wipes memory in a way the compiler does not drop.
inline void explicit_bzero(void* p, std::size_t n) {
    SecureZeroMemory(p, n);
}

// The last occurrence of byte c in the n bytes at p, or null.
inline const void* memrchr(const void* p, int c, std::size_t n) {
    const auto* pBytes = static_cast<const unsigned char*>(p);
    while (n > 0) {
        if (pBytes[--n] == static_cast<unsigned char>(c))
            return pBytes + n;
    }
    return nullptr;
}
