// An open Paradox table: its .DB file, and the .MB and .PX files of its
// family when it has them. Records are addressed by their position in the
// table's order (0-based): block-chain order, which for keyed tables is key
// order.
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/errors.h"
#include "engine/io/file.h"
#include "engine/io/heldchange.h"
#include "engine/io/lock.h"
#include "engine/io/memo.h"
#include "engine/paradox/pxheader.h"
#include "engine/paradox/pxsecurity.h"
#include "engine/rows.h"
#include "engine/text/codepage.h"
#include "engine/value.h"

namespace engine::io {
class Transaction;
}

namespace engine::paradox {

class BlobFile;
class ParadoxTable;

struct OpenOptions {
  bool writable = false;
  bool exclusive = false;              // no other open of the table, in any process
  std::vector<std::string> passwords;  // the session's passwords, tried in turn
};

// Where a record lies: its position in table order, its data block and its
// slot in that block (0-based).
struct RecordPlace {
  std::uint32_t position = 0;
  std::uint16_t block = 0;
  std::uint16_t slot = 0;
};

// The records of a table in table order, for whole-table builds.
class RecordSource {
 public:
  using Visitor = std::function<Result(const RecordPlace&, const std::uint8_t* record)>;
  virtual ~RecordSource() = default;
  virtual std::uint32_t count() const = 0;
  virtual Result visit(const Visitor& visitor) = 0;
};

// Takes part in every change of a table: validity checks and referential
// integrity may refuse a change or complete its values; secondary indexes
// follow the records. Participants are attached when the table is opened.
class TableParticipant {
 public:
  virtual ~TableParticipant() = default;
  // Whether beforeChange() looks at the values (rows given as stored
  // records cannot be inserted while such a participant is attached).
  virtual bool checksValues() const { return false; }
  // A change begins; files that follow the records are changed through
  // `tx`. With `appendOnly` the change only adds records, and records
  // already placed never move.
  virtual Result beginChange(ParadoxTable& table, io::Transaction& tx, bool appendOnly) {
    (void)table, (void)tx, (void)appendOnly;
    return Ok;
  }
  // Before a record is inserted (oldValues null), updated, or deleted
  // (newValues null). A non-Ok result refuses the whole change.
  virtual Result beforeChange(ParadoxTable& table, const std::vector<Value>* oldValues,
                              std::vector<Value>* newValues) {
    (void)table, (void)oldValues, (void)newValues;
    return Ok;
  }
  // A stored record was put at `place` or taken from it. The position is
  // the record's place in table order for unkeyed tables (keyed: 0).
  virtual Result recordAdded(ParadoxTable& table, const RecordPlace& place,
                             const std::uint8_t* record) {
    (void)table, (void)place, (void)record;
    return Ok;
  }
  virtual Result recordRemoved(ParadoxTable& table, const RecordPlace& place,
                               const std::uint8_t* record) {
    (void)table, (void)place, (void)record;
    return Ok;
  }
  // The record at `place` changed in place from `before` to `after`.
  virtual Result recordReplaced(ParadoxTable& table, const RecordPlace& place,
                                const std::uint8_t* before, const std::uint8_t* after) {
    (void)table, (void)place, (void)before, (void)after;
    return Ok;
  }
  // A block split moved `count` records from block `from` to the first
  // slots of block `to`.
  virtual Result recordsMoved(ParadoxTable& table, std::uint16_t from, std::uint16_t to,
                              const std::uint8_t* records, std::uint16_t count) {
    (void)table, (void)from, (void)to, (void)records, (void)count;
    return Ok;
  }
  // A long change lets go of what it holds: cached blocks go to the
  // transaction.
  virtual Result flush(ParadoxTable& table) {
    (void)table;
    return Ok;
  }
  // When every record of the change is in place, before it is committed.
  virtual Result beforeCommit(ParadoxTable& table, io::Transaction& tx) {
    (void)table, (void)tx;
    return Ok;
  }
  // After the change was committed (or undone: `committed` false).
  virtual void afterChange(ParadoxTable& table, bool committed) { (void)table, (void)committed; }
};

// The blocks of a table's chain in order, with their record counts: what
// turns a record's position into its block and slot. Positions are summed
// up lazily, so a long change that adds records costs no more than the
// blocks it touches.
class BlockMap {
 public:
  void clear();
  void push(std::uint16_t block, std::uint16_t count);
  std::size_t size() const { return blocks_.size(); }
  std::uint32_t total() const { return total_; }
  // The block and slot of the record at `position` (< total()).
  void locate(std::uint32_t position, std::uint16_t& block, std::uint16_t& slot);
  // The position of the first record of `block`.
  std::uint32_t firstOf(std::uint16_t block);
  // The records of `block`: the position of its first and their number;
  // false for a block not in the chain.
  bool find(std::uint16_t block, std::uint32_t& first, std::uint16_t& count);
  bool contains(std::uint16_t block) { return indexOf(block) < blocks_.size(); }
  std::uint16_t last() const { return blocks_.empty() ? 0 : blocks_.back().block; }
  void linked(std::uint16_t block, std::uint16_t after);
  void unlinked(std::uint16_t block);
  void counted(std::uint16_t block, int delta);

 private:
  struct Entry {
    std::uint16_t block;
    std::uint16_t count;
    std::uint32_t first;
  };
  std::size_t indexOf(std::uint16_t block);
  void sumUp();
  void invalidateFrom(std::size_t i) { summed_ = std::min(summed_, i); }

  std::vector<Entry> blocks_;
  std::uint32_t total_ = 0;
  std::size_t summed_ = 0;  // entries before this one know their first record
  std::size_t hint_ = 0;
};

// What changeRows does with each row.
// Rows that can also come in the stored form of the table they go into.
// A bulk insert takes them so, skipping the values, when nothing that
// checks values takes part and the table has no BLOB or autoincrement
// field (whose stored form depends on the change).
class StoredRows : public RowSource {
 public:
  // Whether these rows can come stored at all.
  virtual bool canStore() const = 0;
  virtual Result nextStored(std::vector<std::uint8_t>& record, std::uint64_t& label,
                            bool& end) = 0;
};

enum class RowChange {
  Insert,          // the row becomes a record
  InsertInOrder,   // as Insert, the rows coming in increasing key order (for a keyed table
                   // that is empty: no sort; a row out of order fails the change)
  Update,          // the record with the row's key takes its values; rows without one pass by
  InsertOrUpdate,  // as Update, and rows without a record are inserted
  Remove,          // the record with the row's key goes; rows without one pass by
};

class TableWriter;

class ParadoxTable {
 public:
  ~ParadoxTable();

  // Opens the table at `path` (the .DB file). A protected table opens only
  // when one of the passwords matches.
  static Result Open(const std::string& path, const OpenOptions& options,
                     std::unique_ptr<ParadoxTable>& out);

  const std::string& path() const { return path_; }
  const PxHeader& header() const { return header_; }
  const std::vector<PxField>& fields() const { return header_.fields; }
  const text::LanguageDriver* driver() const { return driver_; }
  const text::Codec& codec() const { return *codec_; }
  bool isProtected() const { return header_.encryption() != 0; }
  bool writable() const { return writable_; }
  // What the session's password allows (pxsecurity.h).
  const AccessRights& rights() const { return rights_; }
  std::uint32_t recordCount() const { return blocks_.total(); }

  // The stored bytes of record `index` (recordSize bytes), valid until the
  // next call that reads or changes the table.
  Result record(std::uint32_t index, const std::uint8_t*& out);
  // The position of the record in data block `block` whose key fields equal
  // those of `key` (a record's bytes); ErrNoCurrentRecord when there is none.
  Result findInBlock(std::uint16_t block, const std::uint8_t* key, std::uint32_t& position);
  // One field of a stored record, BLOBs included, whatever the rights.
  Result fieldValue(const std::uint8_t* record, int field, Value& out);
  // All fields of record `index`; a field the password cannot read is NULL.
  Result readRecord(std::uint32_t index, std::vector<Value>& out);

  // Changes. Values are given for every field, in field order. Keyed tables
  // keep key order and refuse duplicate keys; an Autoinc field left NULL
  // gets the next number. Returns the new position of the record.
  Result insert(const std::vector<Value>& values, std::uint32_t* position = nullptr);
  Result update(std::uint32_t index, const std::vector<Value>& values,
                std::uint32_t* position = nullptr);
  Result remove(std::uint32_t index);
  // Inserts every row of `rows` as one change: all go in, or none. A
  // refused row's message starts with its name ("line 12: ...").
  Result insertRows(RowSource& rows, std::uint64_t* inserted = nullptr) {
    return changeRows(rows, RowChange::Insert, nullptr, inserted);
  }
  // A refused row (a value that does not fit, a check that refuses it, a
  // key that is there already) handed to a RejectHandler is passed over
  // when it returns Ok; any other result stops the change.
  using RejectHandler =
      std::function<Result(std::uint64_t label, Result code, const std::string& message)>;
  // Applies every row of `rows` as one change, all of it or none, and
  // stops at the first row refused (its name starts the message) unless
  // `reject` passes it over. All but
  // Insert need a keyed table: a row's record is found by the key in its
  // values through the primary index. An update takes the fields `given`
  // marks (null: all) and keeps the others; rows with equal keys inserted
  // by InsertOrUpdate make one record, as if the later updated the earlier.
  // `changed` receives the number of rows that inserted, updated or
  // removed a record.
  Result changeRows(RowSource& rows, RowChange kind, const std::vector<bool>* given = nullptr,
                    std::uint64_t* changed = nullptr, const RejectHandler& reject = nullptr);
  Result insertMany(const std::vector<std::vector<Value>>& rows) {
    VectorRows source(rows);
    return insertRows(source);
  }

  // A change over several calls: from beginChange on, insert, update,
  // remove and changeRows join one change, which endChange commits (all of
  // it) or rolls back (none of it). After a call of the change failed, the
  // change can only be rolled back. Reads see the change as it goes.
  Result beginChange();
  Result endChange(bool commit);
  bool inChange() const { return held_.active(); }
  const OpenOptions& options() const { return options_; }

  void addParticipant(std::shared_ptr<TableParticipant> participant);
  const std::vector<std::shared_ptr<TableParticipant>>& participants() const {
    return participants_;
  }

 private:
  ParadoxTable() = default;
  Result load();
  Result mapFile();
  // After a change: the mapping covers the file again, copies are dropped.
  Result refreshMap();
  Result buildBlockMap();
  // buildBlockMap, or the map of the same unchanged file opened before.
  Result loadBlockMap();
  // Runs `change` as a change of its own, or as part of the held one.
  Result runChange(bool appendOnly, const std::function<Result(TableWriter&)>& change);
  Result blockData(std::uint16_t number, const std::uint8_t*& out);
  Result heldBlock(std::uint16_t number, const std::uint8_t*& out);
  std::size_t blockOffset(std::uint16_t number) const {
    return header_.headerSize() + static_cast<std::size_t>(number - 1) * header_.blockSize();
  }
  std::uint16_t recordsPerBlock() const {
    return static_cast<std::uint16_t>(header_.recordsPerBlock());
  }
  Result openBlobFile(bool create);
  Result readBlob(const PxField& f, const std::uint8_t* p, Value& out);

  // Writing (pxwrite.cpp).
  friend class TableWriter;

  friend void ParkTable(std::unique_ptr<ParadoxTable> table);
  friend std::unique_ptr<ParadoxTable> TakeParkedTable(const std::string& path,
                                                       const OpenOptions& options);

  std::string path_;
  OpenOptions options_;
  // The file's and its directory's stamps when opened (for ParkTable).
  io::FileStamps stamps_;
  bool writable_ = false;
  AccessRights rights_;
  io::File file_;
  io::TableLock lock_;
  const std::uint8_t* map_ = nullptr;
  std::size_t mapSize_ = 0;
  PxHeader header_;
  const text::LanguageDriver* driver_ = nullptr;
  std::unique_ptr<text::Codec> codec_;
  BlockMap blocks_;  // the chain, in order
  std::unique_ptr<BlobFile> blobs_;
  io::Transaction* writer_ = nullptr;  // the running change's transaction
  io::HeldChange<TableWriter> held_;  // of beginChange
  std::vector<std::shared_ptr<TableParticipant>> participants_;
  // The decrypted copy of the block last read from a protected table.
  std::vector<std::uint8_t> plainBlock_;
  std::uint16_t plainBlockNumber_ = 0;
};

// The code page of the text of a table with this header and language driver.
int TableCodePage(const PxHeader& header, const text::LanguageDriver* driver);

// Tables lately closed stay open for a while, without their lock, so that
// opening the same unchanged table again costs little more than checking
// that it is unchanged. Only a table opened shared, with no change running
// and whose file and directory have settled (io/memo.h) is parked; it is
// taken again only by an open with the same options, and only while its
// file, the file at its path and its directory carry the stamps they had.
void ParkTable(std::unique_ptr<ParadoxTable> table);
std::unique_ptr<ParadoxTable> TakeParkedTable(const std::string& path, const OpenOptions& options);

// Family file names beside a table: "ORDERS.DB" -> "ORDERS.MB" etc. The
// extension's case follows the table's (".db" -> ".mb").
std::string FamilyPath(const std::string& tablePath, const std::string& upperExtension);

}  // namespace engine::paradox
