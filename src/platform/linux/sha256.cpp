// The digest from OpenSSL's libcrypto.
#include "platform/sha256.h"

#include <openssl/evp.h>

namespace tessarin {

bool Sha256Digest(std::span<const std::uint8_t> bytes, std::array<std::uint8_t, 32>& digest) {
  unsigned int length = 0;
  return EVP_Digest(bytes.data(), bytes.size(), digest.data(), &length, EVP_sha256(), nullptr) ==
             1 &&
         length == digest.size();
}

}  // namespace tessarin
