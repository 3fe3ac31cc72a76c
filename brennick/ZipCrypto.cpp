#include "ZipCrypto.h"

#include <zlib.h>

namespace
{

// One step of CRC-32 without zlib's pre- and post-inversion, as the cipher's key schedule uses it.
uint32_t CrcStep(uint32_t crc, uint8_t byte)
{
    static const z_crc_t* const table = get_crc_table();
    return static_cast<uint32_t>(table[(crc ^ byte) & 0xFF]) ^ (crc >> 8);
}

} // namespace

ZipCryptoKeys::ZipCryptoKeys(const char* password) : keys_{0x12345678, 0x23456789, 0x34567890}
{
    for (const char* p = password; *p != '\0'; ++p)
        Update(static_cast<uint8_t>(*p));
}

uint8_t ZipCryptoKeys::StreamByte() const
{
    uint32_t temp = (keys_[2] | 2) & 0xFFFF;
    return static_cast<uint8_t>((temp * (temp ^ 1)) >> 8);
}

void ZipCryptoKeys::Update(uint8_t plain)
{
    keys_[0] = CrcStep(keys_[0], plain);
    keys_[1] = (keys_[1] + (keys_[0] & 0xFF)) * 134775813 + 1;
    keys_[2] = CrcStep(keys_[2], static_cast<uint8_t>(keys_[1] >> 24));
}

void ZipCryptoKeys::Decrypt(uint8_t* data, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        data[i] ^= StreamByte();
        Update(data[i]);
    }
}

void ZipCryptoKeys::Encrypt(uint8_t* data, size_t length)
{
    for (size_t i = 0; i < length; ++i) {
        uint8_t stream = StreamByte();
        Update(data[i]);
        data[i] ^= stream;
    }
}
