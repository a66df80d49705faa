// One input holding a Paradox table family, and everything the engine
// reads of such a family. The fuzzer and the regression tests over its
// findings share this code.
//
// The input is a sequence of members, each a 4-byte extension (ASCII,
// NUL-padded: "DB", "PX", "MB", "VAL", "X02", "Y02", "XG0", "YG0", ...),
// a little-endian u32 length and that many bytes. A length past the end of
// the input takes what is left. Members with another extension are skipped;
// a later member replaces an earlier one of the same extension.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "engine/errors.h"

namespace fuzz {

struct Member {
  std::string extension;  // upper case, without the dot
  std::string bytes;
};

// The members of an input, in input order, with repeats removed.
std::vector<Member> Unpack(const std::uint8_t* data, std::size_t size);
// The input holding these members.
std::string Pack(const std::vector<Member>& members);

// What scanning a family amounted to.
struct ScanResult {
  engine::Result open = engine::Ok;  // opening the table
  std::string message;               // the engine's message when opening failed
  std::uint32_t records = 0;         // records read
};

// Writes the members as T.<extension> into `directory` (which must exist
// and hold nothing else) and reads the table T.DB there through the
// engine: properties, fields, every record with its BLOBs, the order of
// each secondary index, the validity checks and links, the lists of the
// database, and the index files themselves; then a few records are
// inserted, rewritten and deleted. The files are removed again.
ScanResult ScanFamily(const std::string& directory, const std::vector<Member>& members);

}  // namespace fuzz
