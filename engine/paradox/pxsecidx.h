// Secondary indexes of Paradox tables.
//
// Each index is a pair of files beside the table: an .X file holding one
// record per table record, sorted by the index key, and a .Y file, a tree
// over the .X blocks laid out like a .PX. Single-field indexes named after
// their field live in .Xnn/.Ynn (nn = the field number, two hex digits);
// composite, named, descending and case-insensitive ones in .XGn/.YGn
// (n = 0-9, then A-Z).
//
// An .X record holds the index fields, then, for a keyed table, the
// primary-key fields the index does not already hold and "Blk Num" (the
// .DB block of the record); for an unkeyed table "Tup No" (the record's
// number in table order, from 1), "Blk Num" and "Tup Offset" (the record's
// byte offset from the first record of its block). Every field but the last
// is part of the .X key. After the field names the header lists the table
// field numbers of the index fields (bit 15 set: descending) followed by
// the positions of the other fields, then the sort order and the index name.
//
// Whether an index is unique or case-insensitive has no known place in
// these files; the engine keeps both, with the maintained flag, in a side
// file of the family (NAME.QIX, docs/side-file-indexes.md). Without an
// entry there an index is case-sensitive, not unique, and maintained when
// its file type is an "incrementing" one (5 and 8; unkeyed tables have 3
// and 6). The engine keeps every index file current whatever the flag.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/io/lock.h"
#include "engine/paradox/pxheader.h"
#include "engine/paradox/pxindex.h"
#include "engine/records.h"
#include "engine/text/codepage.h"

namespace engine::io {
class Transaction;
}

namespace engine::paradox {

class ParadoxTable;
class RecordSource;

// One secondary index of a table as its files describe it.
struct SecondaryIndex {
  IndexDesc desc;       // name, id, key fields (1-based table field numbers), flags
  std::string tag;      // the .X extension in upper case: "X02", "XG0"
  std::string xPath;    // the .X file
  std::string yPath;    // the .Y file (may be missing on disk)
  bool composite() const { return tag.size() == 3 && tag[1] == 'G'; }
};

// The properties of an index the real files do not hold, as kept in the
// family's .QIX side file.
struct IndexFlags {
  bool unique = false;
  bool caseInsensitive = false;
  bool maintained = true;
};

// The .X extensions of a table's directory entries: "X0A" -> single field
// 10, "XG3" -> composite 3. False for any other extension.
bool ParseIndexTag(const std::string& extension, bool& composite, int& number);

// Reads the definitions of every secondary index of the table at
// `tablePath` (whose .DB header is `db`): .Xnn in field order, then .XGn
// in the order of n. Every .X file found must read.
Result ReadSecondaryIndexes(const std::string& tablePath, const PxHeader& db,
                            std::vector<SecondaryIndex>& out);

// Reads one index's definition from its .X file. `flags` come from the
// side file (nullptr: none recorded).
Result ReadIndexDefinition(const std::string& xPath, const PxHeader& db,
                           const IndexFlags* flags, SecondaryIndex& out);

// Checks a new index against the table and its existing indexes and
// completes it: file kind and names, id, name of a single-field index,
// per-field descending flags. The index is not written.
Result PlanSecondaryIndex(const std::string& tablePath, const PxHeader& db,
                          const std::vector<SecondaryIndex>& existing, const IndexDesc& desc,
                          SecondaryIndex& out);

// Builds the .X and .Y files of `index` from the table's records (as
// `records` gives them) and adds them, with the side file, to `plan` as
// staged files (target + ".new~"). The files are written and flushed; the
// caller swaps them in with io::ReplaceFiles and removes them on failure.
Result StageSecondaryIndex(const std::string& tablePath, const PxHeader& db,
                           const SecondaryIndex& index, RecordSource& records,
                           std::vector<io::Replacement>& plan);

// Stages the side file of the table so that it holds `indexes` (removes it
// when none carries a property worth recording).
Result StageIndexFlags(const std::string& tablePath, const std::vector<SecondaryIndex>& indexes,
                       std::vector<io::Replacement>& plan);

// The table positions of the records in the order of `index`.
Result IndexOrder(ParadoxTable& table, const SecondaryIndex& index,
                  std::vector<std::uint32_t>& positions);

// Reads an index's .X file along its block chain: per block its first
// key, number and record count (`blocks`), and every record (`records`).
Result ReadIndexBlocks(const SecondaryIndex& index, std::vector<IndexEntry>& blocks,
                       std::vector<std::string>& records);
// Reads the leaf entries of an index's .Y tree, walking from its root: one
// per .X block, with the block's first key and record count.
Result ReadIndexTree(const SecondaryIndex& index, std::vector<IndexEntry>& leaves);
// The .X records the index holds when it is current with the table's
// records on disk (header `db`), in index order.
Result ExpectedIndexRecords(const std::string& tablePath, const PxHeader& db,
                            const SecondaryIndex& index, std::vector<std::string>& records);

// The records of a table read from its .DB file on disk, in table order
// with their blocks and slots.
std::unique_ptr<RecordSource> RecordsOnDisk(const std::string& tablePath, const PxHeader& db);

// Attaches the participant that keeps a table's secondary indexes current
// through every change.
Result AttachSecondaryIndexes(ParadoxTable& table);

// For CreateParadoxTable: the non-primary entries of `desc.indexes` become
// empty secondary indexes of the new table (header `db`) in `plan`; index
// files of an older table of the same name are removed with it.
Result PlanCreatedIndexes(const TableDesc& desc, const PxHeader& db,
                          std::vector<io::Replacement>& plan);

}  // namespace engine::paradox
