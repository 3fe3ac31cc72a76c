// The traditional PKWARE stream cipher of ZIP archives: three 32-bit keys driven by the password and by
// every plain byte. Shared by the extraction (decryption) and the archive writer (encryption).
#pragma once

#include <cstddef>
#include <cstdint>

// Size of the encryption header that precedes an encrypted entry's data.
constexpr size_t kZipCryptHeaderSize = 12;

class ZipCryptoKeys
{
  public:
    // Keys set up from a NUL-terminated password.
    explicit ZipCryptoKeys(const char* password);

    void Decrypt(uint8_t* data, size_t length);
    void Encrypt(uint8_t* data, size_t length);

    uint32_t Key(int which) const { return keys_[which]; }

  private:
    uint8_t StreamByte() const;
    void Update(uint8_t plain);

    uint32_t keys_[3];
};
