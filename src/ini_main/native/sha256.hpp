// SHA-256 (FIPS 180-4) of a byte string, as 64 lowercase hex digits.
//
// The fingerprint of configparser is hashed here rather than through
// hashlib: whatever sits in sys.modules before our import (a stand-in
// _sha2, say) must not be able to choose the digest.
#pragma once

#include <string_view>

namespace ini::fast {

void sha256_hex(std::string_view data, char (&hex)[65]) noexcept;

}  // namespace ini::fast
