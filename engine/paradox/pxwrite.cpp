// Changing the records of a Paradox table.
//
// A change reads the blocks it needs through its transaction, changes them
// in a cache and hands them back: the .DB blocks the records touch, for a
// keyed table the .PX entries on the way to them, the .MB space of its
// BLOB values, and through the participants the secondary indexes. All of
// it is journaled together, so a crash leaves the table as it was before
// or after the change.
#include <algorithm>
#include <cstring>
#include <optional>

#include "engine/io/journal.h"
#include "engine/io/sorter.h"
#include "engine/paradox/pxblob.h"
#include "engine/paradox/pxblocks.h"
#include "engine/paradox/pxchain.h"
#include "engine/paradox/pxcheck.h"
#include "engine/paradox/pxindex.h"
#include "engine/paradox/pxsecidx.h"
#include "engine/paradox/pxtable.h"
#include "engine/paradox/pxvalue.h"

namespace engine::paradox {

namespace {

// Blocks a change keeps in its caches before it hands them on.
constexpr std::size_t kCacheLimit = 4u << 20;
// Memory for sorting the rows of a bulk insert.
constexpr std::size_t kSortMemory = 8u << 20;
// Bytes a transaction holds before it writes them.
constexpr std::size_t kPendingLimit = 8u << 20;

std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

}  // namespace

class TableWriter : public ChainListener {
 public:
  using Bytes = std::vector<std::uint8_t>;

  TableWriter(ParadoxTable& t, bool appendOnly) : t_(t), appendOnly_(appendOnly) {}
  ~TableWriter() override;

  Result begin();
  // Values to a stored record: an Autoinc field left blank is numbered,
  // participants check and complete the values, BLOBs are stored. The
  // values are completed in place.
  Result prepare(std::vector<Value>& values, Bytes& record);
  // Puts a prepared record in place; `placed` receives where it went.
  Result place(const Bytes& record, std::uint32_t* position, Slot* placed = nullptr);
  // A keyed table that was empty takes records that come in key order at
  // the end of its chain, and builds its .PX once, when they have all come.
  Result endInOrder();
  bool inOrder() const { return inOrder_; }
  Result insert(const std::vector<Value>& values, std::uint32_t* position);
  Result update(std::uint32_t index, const std::vector<Value>& values, std::uint32_t* position);
  Result remove(std::uint32_t index);
  // Gives back the BLOB space of a stored record.
  Result releaseBlobs(const std::uint8_t* record);
  // Keyed tables: the record whose key is that of `values` (its key fields)
  // or of the stored `record`, through the primary index.
  Result findKey(const std::vector<Value>& values, Slot& match, bool& found);
  Result findRecord(const Bytes& record, Slot& match, bool& found);
  // The record at `at` takes the fields of `values` that `given` marks (null: all).
  Result updateAt(Slot at, const std::vector<Value>& values, const std::vector<bool>* given);
  Result removeAt(Slot at);
  // Two rows of the change with equal keys, both prepared for insertion:
  // the record placed for the earlier, at `at`, takes the fields of the
  // later's record that `given` marks, as an update of it would.
  Result mergeInto(Slot at, const Bytes& later, const std::vector<bool>* given);
  Result keyViolation(const Bytes& record) const;
  // The key of a stored record, for messages.
  std::string showKey(const std::uint8_t* record) const;
  // Lets the caches go when they have grown.
  Result relieve();
  Result commit();
  // Block `number` as the change has it so far.
  Result readBlock(std::uint16_t number, const std::uint8_t*& out) {
    std::uint8_t* p = nullptr;
    Result r = db_->read(number, p);
    out = p;
    return r;
  }

  int compareKeys(const std::uint8_t* a, const std::uint8_t* b) const;
  std::size_t recordSize() const { return t_.header_.recordSize(); }

  // ChainListener: the table's block map and its participants follow.
  void linked(std::uint16_t block, std::uint16_t after) override {
    mapChanged_ = true;
    t_.blocks_.linked(block, after);
  }
  void unlinked(std::uint16_t block) override {
    mapChanged_ = true;
    t_.blocks_.unlinked(block);
  }
  void counted(std::uint16_t block, int delta) override {
    mapChanged_ = true;
    t_.blocks_.counted(block, delta);
  }
  Result moved(std::uint16_t from, std::uint16_t to, const std::uint8_t* records,
               std::uint16_t count) override;

 private:
  Result openPrimaryIndex();
  Result buildPrimaryIndex();
  Result usePrimaryIndex(const std::string& path);
  Result storeBlob(const PxField& f, const Value& v, std::uint8_t* p);
  Result encode(const std::vector<Value>& values, Bytes& record);
  Result decode(const Bytes& record, std::vector<Value>& out);
  Result consult(const std::vector<Value>* oldValues, std::vector<Value>* newValues);
  Result locate(std::uint32_t index, Slot& at, Bytes& record);
  Result readAt(Slot at, Bytes& record);
  // The record `before` at `at` (position `index`; 0 for keyed tables)
  // becomes `values`, or goes; `oldValues` are its values when known.
  Result replace(std::uint32_t index, Slot at, const Bytes& before, std::vector<Value> values,
                 const std::vector<Value>* oldValues, std::uint32_t* position);
  Result erase(std::uint32_t index, Slot at, const Bytes& before);
  Result take(std::uint32_t index, Slot at, const Bytes& record);
  Result added(Slot at, const Bytes& record);
  Result flushAll();
  bool keyed() const { return sorted_.has_value(); }

  ParadoxTable& t_;
  const bool appendOnly_;
  io::Transaction tx_;
  std::optional<BlockFile> db_;
  io::File pxFile_;
  std::optional<BlockFile> px_;
  std::optional<SortedFile> sorted_;
  std::optional<RecordChain> chain_;  // unkeyed tables
  Bytes key_;                         // a key looked for
  // Records placed in key order into a keyed table that was empty go to
  // the end of its chain; its .PX is built from the chain on commit.
  bool inOrder_ = false;
  Bytes lastPlaced_;
  bool begun_ = false;
  bool committed_ = false;
  bool mapChanged_ = false;  // the table's block map follows the change
};

TableWriter::~TableWriter() {
  if (!begun_ || committed_) return;
  tx_.rollback();
  t_.writer_ = nullptr;
  if (t_.blobs_) t_.blobs_->attach(nullptr);
  // The files are as they were: so must be the table's view of them.
  if (mapChanged_ && t_.refreshMap() == Ok) t_.buildBlockMap();
  for (const auto& p : t_.participants_) p->afterChange(t_, false);
}

Result TableWriter::begin() {
  if (!t_.writable_) return Fail(ErrReadOnly, t_.path_ + ": the table is open read-only");
  if (Result r = tx_.begin(FamilyPath(t_.path_, ".QJR"))) return r;
  begun_ = true;
  tx_.setPendingLimit(kPendingLimit);
  PxHeader h = t_.header_;
  h.clearModifiedFlags();
  db_.emplace(t_.file_, tx_, h, h.encryption());
  if (Result r = db_->open()) return r;
  db_->setInChain([this](std::uint16_t block) { return t_.blocks_.contains(block); });
  // Records are placed after the block the header names as the chain's last.
  if (h.lastBlock() != t_.blocks_.last())
    return Fail(ErrCorruptHeader, t_.path_ + ": the header names block " +
                                      std::to_string(h.lastBlock()) +
                                      " as the last of the chain, which ends at block " +
                                      std::to_string(t_.blocks_.last()));
  if (h.isKeyed()) {
    if (Result r = openPrimaryIndex()) return r;
    inOrder_ = appendOnly_ && t_.blocks_.total() == 0;
  } else {
    chain_.emplace(*db_, this);
  }
  if (t_.blobs_) t_.blobs_->attach(&tx_);
  t_.writer_ = &tx_;
  for (const auto& p : t_.participants_)
    if (Result r = p->beginChange(t_, tx_, appendOnly_)) return r;
  return Ok;
}

// The .PX as the change's sorted file over the .DB. A missing or unusable
// index is rebuilt from the block chain first, as part of the change.
Result TableWriter::openPrimaryIndex() {
  const std::string path = FamilyPath(t_.path_, ".PX");
  Result r = io::FileExists(path) ? usePrimaryIndex(path) : Result{ErrNotFound};
  if (r != ErrCorruptIndex && r != ErrCorruptHeader && r != ErrNotFound) return r;
  ClearLastError();
  sorted_.reset();
  px_.reset();
  pxFile_.close();
  if (Result e = RebuildPrimaryIndex(t_.path_, *db_, tx_)) return e;
  return usePrimaryIndex(path);
}

Result TableWriter::usePrimaryIndex(const std::string& path) {
  if (Result r = pxFile_.open(path, io::File::Mode::ReadWrite)) return r;
  PxHeader h;
  if (Result r = ReadHeaderThrough(pxFile_, tx_, h)) return r;
  if (h.fileType() != ftPrimaryIndex || h.recordSize() != KeySize(db_->header()) + 6)
    return Fail(ErrCorruptIndex, path + ": the index does not fit the table's key");
  h.clearModifiedFlags();
  h.raw[0x2C] = db_->header().raw[0x2D];
  px_.emplace(pxFile_, tx_, h);
  if (Result r = px_->open()) return r;
  sorted_.emplace(
      *db_, *px_,
      [this](const std::uint8_t* a, const std::uint8_t* b) { return compareKeys(a, b); }, this);
  return sorted_->open();
}

int TableWriter::compareKeys(const std::uint8_t* a, const std::uint8_t* b) const {
  const PxHeader& h = t_.header_;
  for (int i = 0; i < h.keyFieldCount(); ++i) {
    const PxField& f = h.fields[i];
    if (int c = CompareStored(f, a + f.offset, b + f.offset, t_.driver_)) return c;
  }
  return 0;
}

std::string TableWriter::showKey(const std::uint8_t* record) const {
  std::vector<Value> key;
  for (int i = 0; i < t_.header_.keyFieldCount(); ++i) {
    const PxField& f = t_.header_.fields[i];
    key.push_back(DecodeField(f, record + f.offset, *t_.codec_));
  }
  return ShowKey(key);
}

Result TableWriter::keyViolation(const Bytes& record) const {
  return Fail(ErrKeyViolation,
              t_.path_ + ": a record with the key " + showKey(record.data()) + " exists already");
}

Result TableWriter::moved(std::uint16_t from, std::uint16_t to, const std::uint8_t* records,
                          std::uint16_t count) {
  for (const auto& p : t_.participants_)
    if (Result r = p->recordsMoved(t_, from, to, records, count)) return r;
  return Ok;
}

Result TableWriter::storeBlob(const PxField& f, const Value& v, std::uint8_t* p) {
  const std::size_t leader = f.size - 10;
  std::memset(p, 0, f.size);
  if (IsNull(v)) return Ok;
  auto invalid = [&f](const std::string& what) {
    return Fail(ErrInvalidValue, "field " + f.name + ": " + what);
  };
  std::string content;
  if (f.code == fcMemo) {
    const std::string* s = std::get_if<std::string>(&v);
    if (!s) return invalid("text is required");
    if (std::size_t bad = text::InvalidUtf8At(*s); bad != std::string::npos)
      return invalid("the text is not valid UTF-8 (byte " + std::to_string(bad + 1) + ")");
    if (!t_.codec_->fromUtf8(*s, content))
      return invalid("the text has characters the table's code page cannot hold");
  } else {
    const BlobValue* b = std::get_if<BlobValue>(&v);
    if (!b) return invalid("binary data is required");
    if (f.code == fcGraphic || f.code == fcOle) {
      // An 8-byte prefix: kind (graphic 1, OLE 2) and the data length.
      std::uint8_t prefix[8] = {1, 0, 0, static_cast<std::uint8_t>(f.code == fcGraphic ? 1 : 2)};
      std::uint32_t n = static_cast<std::uint32_t>(b->bytes.size());
      for (int i = 0; i < 4; ++i) prefix[4 + i] = (n >> (8 * i)) & 0xFF;
      content.assign(reinterpret_cast<char*>(prefix), 8);
    }
    content += b->bytes;
  }
  if (content.empty()) return Ok;
  BlobRef ref;
  ref.length = static_cast<std::uint32_t>(content.size());
  ref.modNo = 1;
  if (content.size() > leader) {
    Result r = t_.openBlobFile(true);
    if (r == Ok) r = t_.blobs_->write(content, 1, ref, &tx_);
    if (r) return Fail(r, "field " + f.name + ": " + LastErrorMessage());
  }
  std::memcpy(p, content.data(), std::min(leader, content.size()));
  StoreBlobRef(ref, p + leader);
  return Ok;
}

Result TableWriter::releaseBlobs(const std::uint8_t* record) {
  for (const PxField& f : t_.header_.fields) {
    if (!IsBlobCode(f.code)) continue;
    BlobRef ref = ParseBlobRef(record + f.offset + f.size - 10);
    if (ref.offset == 0 || ref.length <= static_cast<std::uint32_t>(f.size - 10)) continue;
    if (Result r = t_.openBlobFile(false)) return r;
    if (Result r = t_.blobs_->release(ref, &tx_)) return r;
  }
  return Ok;
}

Result TableWriter::encode(const std::vector<Value>& values, Bytes& record) {
  const auto& fields = t_.header_.fields;
  if (values.size() != fields.size())
    return Fail(ErrInvalidParameter, t_.path_ + ": " + std::to_string(values.size()) +
                                         " values given for " + std::to_string(fields.size()) +
                                         " fields");
  record.assign(recordSize(), 0);
  for (std::size_t i = 0; i < values.size(); ++i) {
    const PxField& f = fields[i];
    std::uint8_t* p = record.data() + f.offset;
    if (IsBlobCode(f.code)) {
      if (Result r = storeBlob(f, values[i], p)) return r;
    } else if (Result r = EncodeField(f, values[i], *t_.codec_, p)) {
      return r;
    }
  }
  return Ok;
}

Result TableWriter::decode(const Bytes& record, std::vector<Value>& out) {
  out.resize(t_.header_.fields.size());
  for (std::size_t i = 0; i < out.size(); ++i)
    if (Result r = t_.fieldValue(record.data(), static_cast<int>(i), out[i])) return r;
  return Ok;
}

Result TableWriter::consult(const std::vector<Value>* oldValues, std::vector<Value>* newValues) {
  for (const auto& p : t_.participants_)
    if (Result r = p->beforeChange(t_, oldValues, newValues)) return r;
  return Ok;
}

Result TableWriter::prepare(std::vector<Value>& filled, Bytes& record) {
  PxHeader& h = db_->header();
  for (std::size_t i = 0; i < filled.size() && i < h.fields.size(); ++i) {
    if (h.fields[i].code != fcAutoinc) continue;
    if (IsNull(filled[i])) filled[i] = static_cast<std::int64_t>(h.autoIncrement()) + 1;
    if (auto v = std::get_if<std::int64_t>(&filled[i]); v && *v > h.autoIncrement())
      h.setAutoIncrement(static_cast<std::uint32_t>(*v));
  }
  if (Result r = consult(nullptr, &filled)) return r;
  return encode(filled, record);
}

// Tells the participants of a record now at `at`.
Result TableWriter::added(Slot at, const Bytes& record) {
  RecordPlace place{0, at.block, at.slot};
  if (!keyed()) place.position = t_.blocks_.firstOf(at.block) + at.slot;
  for (const auto& p : t_.participants_)
    if (Result r = p->recordAdded(t_, place, record.data())) return r;
  return Ok;
}

Result TableWriter::place(const Bytes& record, std::uint32_t* position, Slot* placed) {
  Slot at;
  if (inOrder_) {
    if (!lastPlaced_.empty() && compareKeys(lastPlaced_.data(), record.data()) >= 0)
      return Fail(ErrInvalidParameter, t_.path_ + ": records of a bulk load came out of key order");
    if (Result r = sorted_->chain().append(record.data(), at)) return r;
    lastPlaced_ = record;
  } else if (keyed()) {
    bool duplicate = false;
    if (Result r = sorted_->insert(record.data(), at, duplicate)) return r;
    if (duplicate) return keyViolation(record);
  } else if (Result r = chain_->append(record.data(), at)) {
    return r;
  }
  if (Result r = added(at, record)) return r;
  if (position) *position = t_.blocks_.firstOf(at.block) + at.slot;
  if (placed) *placed = at;
  return Ok;
}

Result TableWriter::insert(const std::vector<Value>& values, std::uint32_t* position) {
  Bytes record;
  std::vector<Value> filled = values;
  if (Result r = prepare(filled, record)) return r;
  return place(record, position);
}

Result TableWriter::locate(std::uint32_t index, Slot& at, Bytes& record) {
  if (index >= t_.blocks_.total())
    return Fail(ErrNoCurrentRecord, t_.path_ + ": no record " + std::to_string(index + 1));
  t_.blocks_.locate(index, at.block, at.slot);
  return readAt(at, record);
}

Result TableWriter::readAt(Slot at, Bytes& record) {
  const std::uint8_t* stored;
  if (Result r = (keyed() ? sorted_->chain() : *chain_).read(at, stored)) return r;
  record.assign(stored, stored + recordSize());
  return Ok;
}

// Takes the record at `at` (position `index`) out of the table.
Result TableWriter::take(std::uint32_t index, Slot at, const Bytes& record) {
  if (keyed()) {
    if (Result r = sorted_->remove(at)) return r;
  } else {
    bool emptied;
    if (Result r = chain_->remove(at, emptied)) return r;
  }
  const RecordPlace place{keyed() ? 0 : index, at.block, at.slot};
  for (const auto& p : t_.participants_)
    if (Result r = p->recordRemoved(t_, place, record.data())) return r;
  return Ok;
}

Result TableWriter::erase(std::uint32_t index, Slot at, const Bytes& before) {
  if (!t_.participants_.empty()) {
    std::vector<Value> old;
    if (Result r = decode(before, old)) return r;
    if (Result r = consult(&old, nullptr)) return r;
  }
  if (Result r = releaseBlobs(before.data())) return r;
  return take(index, at, before);
}

Result TableWriter::remove(std::uint32_t index) {
  Slot at;
  Bytes record;
  if (Result r = locate(index, at, record)) return r;
  return erase(index, at, record);
}

Result TableWriter::removeAt(Slot at) {
  Bytes record;
  if (Result r = readAt(at, record)) return r;
  return erase(0, at, record);
}

Result TableWriter::update(std::uint32_t index, const std::vector<Value>& values,
                           std::uint32_t* position) {
  Slot at;
  Bytes before;
  if (Result r = locate(index, at, before)) return r;
  return replace(index, at, before, values, nullptr, position);
}

Result TableWriter::updateAt(Slot at, const std::vector<Value>& values,
                             const std::vector<bool>* given) {
  Bytes before;
  if (Result r = readAt(at, before)) return r;
  if (!given && t_.participants_.empty()) return replace(0, at, before, values, nullptr, nullptr);
  std::vector<Value> old;
  if (Result r = decode(before, old)) return r;
  std::vector<Value> changed = values;
  if (given)
    for (std::size_t i = 0; i < changed.size() && i < given->size(); ++i)
      if (!(*given)[i]) changed[i] = old[i];
  return replace(0, at, before, std::move(changed), &old, nullptr);
}

Result TableWriter::replace(std::uint32_t index, Slot at, const Bytes& before,
                            std::vector<Value> changed, const std::vector<Value>* oldValues,
                            std::uint32_t* position) {
  if (!t_.participants_.empty()) {
    std::vector<Value> decoded;
    if (!oldValues) {
      if (Result r = decode(before, decoded)) return r;
      oldValues = &decoded;
    }
    if (Result r = consult(oldValues, &changed)) return r;
  }
  if (Result r = releaseBlobs(before.data())) return r;
  Bytes record;
  if (Result r = encode(changed, record)) return r;
  if (keyed() && compareKeys(before.data(), record.data()) != 0) {
    Slot where, match;
    bool exact;
    if (Result r = sorted_->find(record.data(), where, exact, match)) return r;
    if (exact) return keyViolation(record);
    if (Result r = take(index, at, before)) return r;
    return place(record, position);
  }
  if (Result r = (keyed() ? sorted_->chain() : *chain_).replace(at, record.data())) return r;
  const RecordPlace place{keyed() ? 0 : index, at.block, at.slot};
  for (const auto& p : t_.participants_)
    if (Result r = p->recordReplaced(t_, place, before.data(), record.data())) return r;
  if (position) *position = index;
  return Ok;
}

Result TableWriter::findKey(const std::vector<Value>& values, Slot& match, bool& found) {
  const PxHeader& h = t_.header_;
  if (values.size() != h.fields.size())
    return Fail(ErrInvalidParameter, t_.path_ + ": " + std::to_string(values.size()) +
                                         " values given for " + std::to_string(h.fields.size()) +
                                         " fields");
  key_.assign(recordSize(), 0);
  for (int i = 0; i < h.keyFieldCount(); ++i) {
    const PxField& f = h.fields[i];
    if (Result r = EncodeField(f, values[i], *t_.codec_, key_.data() + f.offset)) return r;
  }
  return findRecord(key_, match, found);
}

Result TableWriter::findRecord(const Bytes& record, Slot& match, bool& found) {
  Slot at;
  return sorted_->find(record.data(), at, found, match);
}

Result TableWriter::mergeInto(Slot at, const Bytes& later, const std::vector<bool>* given) {
  Bytes before;
  if (Result r = readAt(at, before)) return r;
  // What the earlier's record gives up, and what the later's does not pass on.
  Bytes after = before, dropped(recordSize(), 0), unused = later;
  const auto& fields = t_.header_.fields;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (given && !(*given)[i]) continue;
    const PxField& f = fields[i];
    std::memcpy(after.data() + f.offset, later.data() + f.offset, f.width());
    std::memcpy(dropped.data() + f.offset, before.data() + f.offset, f.width());
    std::memset(unused.data() + f.offset, 0, f.width());
  }
  if (Result r = releaseBlobs(dropped.data())) return r;
  if (Result r = releaseBlobs(unused.data())) return r;
  if (Result r = sorted_->chain().replace(at, after.data())) return r;
  const RecordPlace place{0, at.block, at.slot};
  for (const auto& p : t_.participants_)
    if (Result r = p->recordReplaced(t_, place, before.data(), after.data())) return r;
  return Ok;
}

Result TableWriter::flushAll() {
  if (Result r = db_->flush()) return r;
  if (px_)
    if (Result r = px_->flush()) return r;
  for (const auto& p : t_.participants_)
    if (Result r = p->flush(t_)) return r;
  return Ok;
}

Result TableWriter::relieve() {
  const std::size_t held = db_->cachedBytes() + (px_ ? px_->cachedBytes() : 0);
  return held > kCacheLimit ? flushAll() : Result{Ok};
}

Result TableWriter::buildPrimaryIndex() {
  sorted_.reset();
  px_.reset();
  pxFile_.close();
  if (Result r = RebuildPrimaryIndex(t_.path_, *db_, tx_)) return r;
  return usePrimaryIndex(FamilyPath(t_.path_, ".PX"));
}

Result TableWriter::endInOrder() {
  if (!inOrder_) return Ok;
  inOrder_ = false;
  if (lastPlaced_.empty()) return Ok;
  lastPlaced_.clear();
  return buildPrimaryIndex();
}

Result TableWriter::commit() {
  if (Result r = endInOrder()) return r;
  for (const auto& p : t_.participants_)
    if (Result r = p->beforeCommit(t_, tx_)) return r;
  if (Result r = flushAll()) return r;
  if (Result r = tx_.commit()) return r;
  committed_ = true;
  t_.writer_ = nullptr;
  if (t_.blobs_) t_.blobs_->attach(nullptr);
  t_.header_ = db_->header();
  Result r = t_.refreshMap();
  for (const auto& p : t_.participants_) p->afterChange(t_, true);
  return r;
}

namespace {

bool TakesStoredRows(const ParadoxTable& t) {
  for (const PxField& f : t.fields())
    if (IsBlobCode(f.code) || f.code == fcAutoinc) return false;
  for (const auto& p : t.participants())
    if (p->checksValues()) return false;
  return true;
}

// A row the table refuses (its values, a check, its key), as opposed to a
// failure of the files, which stops any change.
bool RowRefusal(Result r) { return (r & 0xFF00) == 0x0300 || (r & 0xFF00) == 0x0500; }

// The rows of a bulk insert into a keyed table, as stored records sorted by
// key; each carries the label of its row in front.
class SortedRows {
 public:
  SortedRows(TableWriter& w, const std::string& tablePath)
      : w_(w),
        path_(tablePath),
        sorter_(
            8 + w.recordSize(),
            [&w](const std::uint8_t* a, const std::uint8_t* b) {
              return w.compareKeys(a + 8, b + 8);
            },
            DirectoryOf(tablePath), kSortMemory) {}

  Result add(std::uint64_t label, const std::vector<std::uint8_t>& record) {
    entry_.resize(8 + record.size());
    std::memcpy(entry_.data(), &label, 8);
    std::memcpy(entry_.data() + 8, record.data(), record.size());
    return sorter_.add(entry_.data());
  }

  // Places every record in key order. Records with equal keys come in the
  // order they were added: with `merge` the later ones go into the first
  // (TableWriter::mergeInto); else they are key violations: handed to
  // `reject` when there is one (`rejected` counts them), or else the one
  // that comes first among the rows is named, once every row was seen.
  Result place(RowSource& rows, bool merge, const std::vector<bool>* given,
               const ParadoxTable::RejectHandler& reject, std::uint64_t& rejected) {
    std::vector<std::uint8_t> record, first;  // `first`: of the rows with its key
    std::uint64_t firstLabel = 0, repeat = 0, repeated = 0;
    std::string repeatedKey;
    Slot at;
    for (;;) {
      const std::uint8_t* e;
      bool end = false;
      if (Result r = sorter_.next(e, end)) return r;
      if (end) break;
      std::uint64_t label;
      std::memcpy(&label, e, 8);
      record.assign(e + 8, e + 8 + w_.recordSize());
      const bool same = !first.empty() && w_.compareKeys(first.data(), record.data()) == 0;
      if (same && !merge && reject) {
        const std::string message = rows.name(label) + ": " + path_ + ": the key " +
                                    w_.showKey(record.data()) + " is that of " +
                                    rows.name(firstLabel) + " as well";
        if (Result h = reject(label, ErrKeyViolation, message)) return h;
        if (Result b = w_.releaseBlobs(record.data())) return b;
        ++rejected;
        continue;
      }
      if (same && !merge) {
        if (repeat == 0 || label < repeat) {
          repeat = label;
          repeated = firstLabel;
          repeatedKey = w_.showKey(record.data());
        }
      } else if (repeat == 0) {
        Result r = same ? w_.mergeInto(at, record, given) : w_.place(record, nullptr, &at);
        if (r == ErrKeyViolation && reject && !same) {  // a row placed before the sort
          if (Result h = reject(label, r, rows.name(label) + ": " + LastErrorMessage())) return h;
          if (Result b = w_.releaseBlobs(record.data())) return b;
          ++rejected;
          continue;
        }
        if (r) return Fail(r, rows.name(label) + ": " + LastErrorMessage());
        if (Result r = w_.relieve()) return r;
      }
      if (!same) {
        first.swap(record);
        firstLabel = label;
      }
    }
    if (repeat == 0) return Ok;
    return Fail(ErrKeyViolation, rows.name(repeat) + ": " + path_ + ": the key " + repeatedKey +
                                     " is that of " + rows.name(repeated) + " as well");
  }

 private:
  TableWriter& w_;
  const std::string path_;
  io::ExternalSorter sorter_;
  std::vector<std::uint8_t> entry_;
};

}  // namespace

Result ParadoxTable::runChange(bool appendOnly,
                               const std::function<Result(TableWriter&)>& change) {
  if (held_.active())
    return held_.run(path_, [&](TableWriter& w) {
      Result r = change(w);
      return r ? r : w.relieve();
    });
  TableWriter w(*this, appendOnly);
  if (Result r = w.begin()) return r;
  if (Result r = change(w)) return r;  // the writer's destructor rolls back
  return w.commit();
}

Result ParadoxTable::beginChange() {
  if (held_.active()) return held_.hold(nullptr, path_);
  auto w = std::make_shared<TableWriter>(*this, false);
  if (Result r = w->begin()) return r;
  return held_.hold(std::move(w), path_);
}

Result ParadoxTable::endChange(bool commit) { return held_.end(commit, path_); }

Result ParadoxTable::heldBlock(std::uint16_t number, const std::uint8_t*& out) {
  return held_.change().readBlock(number, out);
}

Result ParadoxTable::insert(const std::vector<Value>& values, std::uint32_t* position) {
  return runChange(false, [&](TableWriter& w) { return w.insert(values, position); });
}

Result ParadoxTable::update(std::uint32_t index, const std::vector<Value>& values,
                            std::uint32_t* position) {
  return runChange(false, [&](TableWriter& w) { return w.update(index, values, position); });
}

Result ParadoxTable::remove(std::uint32_t index) {
  return runChange(false, [&](TableWriter& w) { return w.remove(index); });
}

// Rows to insert into a keyed table are checked and stored as they come,
// then sorted and placed in key order, so that each block is filled before
// the next is started; records of an unkeyed table go to its end as they
// come. Either way no record placed before moves when the table was empty,
// and the indexes may be built in order. Updates and removals are made as
// their rows come: they find their records through the primary index, and
// an update keeps the key, so its record stays where it is.
Result ParadoxTable::changeRows(RowSource& rows, RowChange kind, const std::vector<bool>* given,
                                std::uint64_t* changed, const RejectHandler& reject) {
  if (changed) *changed = 0;
  const bool keyed = header_.isKeyed();
  if (kind == RowChange::InsertInOrder && (!keyed || recordCount() > 0)) kind = RowChange::Insert;
  const bool presorted = kind == RowChange::InsertInOrder;
  if (presorted) kind = RowChange::Insert;
  if (kind != RowChange::Insert && !keyed)
    return Fail(ErrInvalidIndex, path_ + ": the table has no primary key to find records by");
  if (given && given->size() != header_.fields.size())
    return Fail(ErrInvalidParameter, path_ + ": " + std::to_string(given->size()) +
                                         " fields marked for " +
                                         std::to_string(header_.fields.size()));
  const bool inserting = kind == RowChange::Insert || kind == RowChange::InsertOrUpdate;
  const bool appendOnly = kind == RowChange::Insert && (!keyed || recordCount() == 0);
  std::uint64_t count = 0, late = 0;
  StoredRows* stored = kind == RowChange::Insert ? dynamic_cast<StoredRows*>(&rows) : nullptr;
  if (stored && (!stored->canStore() || !TakesStoredRows(*this))) stored = nullptr;
  Result result = runChange(appendOnly, [&](TableWriter& w) {
    std::optional<SortedRows> sorted;
    if (keyed && inserting && !presorted) sorted.emplace(w, path_);
    std::vector<Value> values;
    std::vector<std::uint8_t> record;
    // One row; `done` is cleared for a row that changes nothing.
    std::uint64_t label = 0;
    auto apply = [&](bool& done) -> Result {
      done = true;
      if (!keyed) {
        if (!stored)
          if (Result r = w.prepare(values, record)) return r;
        return w.place(record, nullptr);
      }
      Slot match;
      bool found = false;
      if (kind != RowChange::Insert) {
        if (Result r = w.findKey(values, match, found)) return r;
        if (found) return kind == RowChange::Remove ? w.removeAt(match)
                                                    : w.updateAt(match, values, given);
        done = inserting;
        if (!done) return Ok;
      }
      if (!stored)
        if (Result r = w.prepare(values, record)) return r;
      if (presorted) return w.place(record, nullptr);
      // A key the table holds already is refused in the order of the rows
      // (a table filled in key order from empty holds none but the rows').
      if (!w.inOrder()) {
        if (Result r = w.findRecord(record, match, found)) return r;
        if (found) return w.keyViolation(record);
      }
      return sorted->add(label, record);
    };
    for (;;) {
      bool end = false;
      if (Result r = stored ? stored->nextStored(record, label, end) : rows.next(values, label, end))
        return r;
      if (end) break;
      bool done = false;
      if (Result r = apply(done)) {
        const std::string message = rows.name(label) + ": " + LastErrorMessage();
        if (!reject || !RowRefusal(r)) return Fail(r, message);
        if (Result h = reject(label, r, message)) return h;
        continue;
      }
      if (Result r = w.relieve()) return r;
      if (done) ++count;
    }
    return sorted ? sorted->place(rows, kind == RowChange::InsertOrUpdate, given, reject, late)
                  : Result{Ok};
  });
  if (changed) *changed = result == Ok ? count - late : 0;
  return result;
}

}  // namespace engine::paradox
