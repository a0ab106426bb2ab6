// The digest from Windows' own cryptography (CNG, bcrypt.dll).
#include "platform/sha256.h"

#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

#include <algorithm>
#include <limits>

namespace tessarin {
namespace {

bool Succeeded(NTSTATUS status) { return status >= 0; }

class AlgorithmProvider {
 public:
  AlgorithmProvider() {
    if (!Succeeded(::BCryptOpenAlgorithmProvider(&m_handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
      m_handle = nullptr;
    }
  }
  ~AlgorithmProvider() {
    if (m_handle) ::BCryptCloseAlgorithmProvider(m_handle, 0);
  }
  AlgorithmProvider(const AlgorithmProvider&) = delete;
  AlgorithmProvider& operator=(const AlgorithmProvider&) = delete;
  BCRYPT_ALG_HANDLE get() const { return m_handle; }

 private:
  BCRYPT_ALG_HANDLE m_handle = nullptr;
};

class HashObject {
 public:
  explicit HashObject(BCRYPT_ALG_HANDLE algorithm) {
    // No object buffer: CNG keeps the hash state itself (Windows 7 and later).
    if (!Succeeded(::BCryptCreateHash(algorithm, &m_handle, nullptr, 0, nullptr, 0, 0))) {
      m_handle = nullptr;
    }
  }
  ~HashObject() {
    if (m_handle) ::BCryptDestroyHash(m_handle);
  }
  HashObject(const HashObject&) = delete;
  HashObject& operator=(const HashObject&) = delete;
  BCRYPT_HASH_HANDLE get() const { return m_handle; }

 private:
  BCRYPT_HASH_HANDLE m_handle = nullptr;
};

}  // namespace

bool Sha256Digest(std::span<const std::uint8_t> bytes, std::array<std::uint8_t, 32>& digest) {
  const AlgorithmProvider algorithm;
  if (!algorithm.get()) return false;
  const HashObject hash(algorithm.get());
  if (!hash.get()) return false;
  // BCryptHashData takes a ULONG length: feed larger inputs in pieces.
  constexpr std::size_t kPiece = std::numeric_limits<ULONG>::max();
  for (std::size_t done = 0; done < bytes.size();) {
    const std::size_t piece = std::min(kPiece, bytes.size() - done);
    // The input is only read; the API's parameter is not const.
    auto* input = const_cast<PUCHAR>(reinterpret_cast<const UCHAR*>(bytes.data() + done));
    if (!Succeeded(::BCryptHashData(hash.get(), input, static_cast<ULONG>(piece), 0))) return false;
    done += piece;
  }
  return Succeeded(
      ::BCryptFinishHash(hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0));
}

}  // namespace tessarin
