// The primary index (.PX) of a keyed Paradox table: a tree whose leaf
// entries name each data block with its first key and record count.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/paradox/pxheader.h"

namespace engine::io {
class Transaction;
}

namespace engine::paradox {

struct IndexEntry {
  std::string key;           // the key fields in stored form
  std::uint16_t block = 0;   // a .DB block (leaf level) or a .PX block
  std::uint32_t count = 0;   // records below this entry
};

// Bytes of the key fields of a table's records.
std::size_t KeySize(const PxHeader& db);

// Reads the leaf entries of a .PX file in key order, walking the tree from
// its root (never along the block chain, which mixes levels).
Result ReadPrimaryIndex(const std::string& pxPath, std::vector<IndexEntry>& leaves,
                        PxHeader* header = nullptr);

class BlockFile;

// Rebuilds the .PX of the table at `tablePath` whole, from the block chain
// of its .DB as `db` shows it, through the change's transaction: for an
// index that is missing or cannot be used.
Result RebuildPrimaryIndex(const std::string& tablePath, BlockFile& db, io::Transaction& tx);

// Rewrites the .PX of the table at `tablePath` from its leaf entries,
// keeping the bytes of an existing .PX header that it does not set.
Result WritePrimaryIndex(const std::string& tablePath, const PxHeader& db,
                         const std::vector<IndexEntry>& leaves, io::Transaction& tx);

}  // namespace engine::paradox
