// Encryption of master-password protected Paradox tables.
//
// Data blocks of a .DB file (never its header) and every block of its .MB
// file are encrypted with a 32-bit value stored in the .DB header (at 0x25
// in level-3 files, at 0x5C in later ones). A password is accepted when the
// value derived from it equals the stored value.
//
// Only the two low bytes of the value key the data, so encrypted tables can be
// decoded without the password; the two high bytes serve the password check.
// Data are transformed in 256-byte chunks; bytes after the last whole chunk
// of a buffer are left as they are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace engine::paradox {

// The 32-bit value a password yields (what the header stores); 0 for an
// empty password, non-zero otherwise. Passwords are compared byte for byte
// (case matters); only the first 256 bytes count.
std::uint32_t PasswordChecksum(const std::string& password);

// Decrypts / encrypts one .DB data block in place. `blockNumber` is the
// 1-based block number in the file (its low byte enters the key); `size` is
// the table's block size.
void DecryptDbBlock(std::uint8_t* data, std::size_t size, std::uint32_t key,
                    std::uint32_t blockNumber);
void EncryptDbBlock(std::uint8_t* data, std::size_t size, std::uint32_t key,
                    std::uint32_t blockNumber);

// Decrypts / encrypts `size` bytes of a .MB file that start at file offset
// `offset` (a multiple of 256; size a multiple of 256). Every chunk of a .MB
// file, its header block included, has the same key, so the result does not
// depend on `offset`.
void DecryptMbData(std::uint8_t* data, std::size_t size, std::uint32_t key, std::uint64_t offset);
void EncryptMbData(std::uint8_t* data, std::size_t size, std::uint32_t key, std::uint64_t offset);

}  // namespace engine::paradox
