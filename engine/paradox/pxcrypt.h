// Encryption of master-password protected Paradox tables.
//
// Data blocks of a .DB file (never its header) and every block of its .MB
// file are encrypted with a 32-bit value stored in the .DB header (at 0x25
// in level-3 files, at 0x5C in later ones). A password is accepted when the
// value derived from it equals the stored value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace engine::paradox {

// The 32-bit value a password yields (what the header stores).
std::uint32_t PasswordChecksum(const std::string& password);

// Decrypts / encrypts one .DB data block in place. `blockNumber` is the
// 1-based block number in the file; `size` is the table's block size.
void DecryptDbBlock(std::uint8_t* data, std::size_t size, std::uint32_t key,
                    std::uint32_t blockNumber);
void EncryptDbBlock(std::uint8_t* data, std::size_t size, std::uint32_t key,
                    std::uint32_t blockNumber);

// Decrypts / encrypts `size` bytes of a .MB file that start at file offset
// `offset` (a multiple of 4096; size a multiple of 256).
void DecryptMbData(std::uint8_t* data, std::size_t size, std::uint32_t key,
                   std::uint64_t offset);
void EncryptMbData(std::uint8_t* data, std::size_t size, std::uint32_t key,
                   std::uint64_t offset);

}  // namespace engine::paradox
