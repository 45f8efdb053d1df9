// A 64-bit FNV-1a digest: enough to tell names apart and to notice a torn
// journal, not a defence against anyone crafting collisions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace ini::posix {

inline uint64_t fnv1a(std::string_view data, uint64_t hash = 0xcbf29ce484222325ULL) noexcept {
    for (const char c : data) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 0x100000001b3ULL;
    }
    return hash;
}

inline std::string hex64(uint64_t value) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out(16, '0');
    for (size_t i = 16; i-- > 0; value >>= 4) out[i] = digits[value & 0xF];
    return out;
}

}  // namespace ini::posix
