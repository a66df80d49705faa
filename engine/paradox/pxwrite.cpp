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
  // Puts a prepared record in place.
  Result place(const Bytes& record, std::uint32_t* position);
  Result insert(const std::vector<Value>& values, std::uint32_t* position);
  Result update(std::uint32_t index, const std::vector<Value>& values, std::uint32_t* position);
  Result remove(std::uint32_t index);
  // Gives back the BLOB space of a stored record.
  Result releaseBlobs(const std::uint8_t* record);
  // Lets the caches go when they have grown.
  Result relieve();
  Result commit();

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
  Result keyViolation(const Bytes& record) const;
  Result usePrimaryIndex(const std::string& path);
  Result storeBlob(const PxField& f, const Value& v, std::uint8_t* p);
  Result encode(const std::vector<Value>& values, Bytes& record);
  Result decode(const Bytes& record, std::vector<Value>& out);
  Result consult(const std::vector<Value>* oldValues, std::vector<Value>* newValues);
  Result locate(std::uint32_t index, Slot& at, Bytes& record);
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

Result TableWriter::keyViolation(const Bytes& record) const {
  std::vector<Value> key;
  for (int i = 0; i < t_.header_.keyFieldCount(); ++i) {
    const PxField& f = t_.header_.fields[i];
    key.push_back(DecodeField(f, record.data() + f.offset, *t_.codec_));
  }
  return Fail(ErrKeyViolation,
              t_.path_ + ": a record with the key " + ShowKey(key) + " exists already");
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

Result TableWriter::place(const Bytes& record, std::uint32_t* position) {
  Slot at;
  if (keyed()) {
    bool duplicate = false;
    if (Result r = sorted_->insert(record.data(), at, duplicate)) return r;
    if (duplicate) return keyViolation(record);
  } else if (Result r = chain_->append(record.data(), at)) {
    return r;
  }
  if (Result r = added(at, record)) return r;
  if (position) *position = t_.blocks_.firstOf(at.block) + at.slot;
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

Result TableWriter::remove(std::uint32_t index) {
  Slot at;
  Bytes record;
  if (Result r = locate(index, at, record)) return r;
  if (!t_.participants_.empty()) {
    std::vector<Value> old;
    if (Result r = decode(record, old)) return r;
    if (Result r = consult(&old, nullptr)) return r;
  }
  if (Result r = releaseBlobs(record.data())) return r;
  return take(index, at, record);
}

Result TableWriter::update(std::uint32_t index, const std::vector<Value>& values,
                           std::uint32_t* position) {
  Slot at;
  Bytes before;
  if (Result r = locate(index, at, before)) return r;
  std::vector<Value> changed = values;
  if (!t_.participants_.empty()) {
    std::vector<Value> oldValues;
    if (Result r = decode(before, oldValues)) return r;
    if (Result r = consult(&oldValues, &changed)) return r;
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

Result TableWriter::commit() {
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

template <typename Change>
Result RunChange(ParadoxTable& t, bool appendOnly, Change change) {
  TableWriter w(t, appendOnly);
  if (Result r = w.begin()) return r;
  if (Result r = change(w)) return r;  // the writer's destructor rolls back
  return w.commit();
}

// The rows of a bulk insert into a keyed table, as stored records sorted by
// key; each carries the label of its row in front.
class SortedRows {
 public:
  SortedRows(TableWriter& w, const std::string& tablePath)
      : w_(w),
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

  // Places every record in key order; `rejected` counts the records the
  // handler passed over.
  Result place(RowSource& rows, const ParadoxTable::RejectHandler& reject,
               std::uint64_t& rejected) {
    std::vector<std::uint8_t> record;
    for (;;) {
      const std::uint8_t* e;
      bool end = false;
      if (Result r = sorter_.next(e, end)) return r;
      if (end) return Ok;
      std::uint64_t label;
      std::memcpy(&label, e, 8);
      record.assign(e + 8, e + 8 + w_.recordSize());
      if (Result r = w_.place(record, nullptr)) {
        const std::string message = rows.name(label) + ": " + LastErrorMessage();
        if (r != ErrKeyViolation || !reject) return Fail(r, message);
        if (Result h = reject(label, r, message)) return h;
        if (Result b = w_.releaseBlobs(record.data())) return b;
        ++rejected;
      }
      if (Result r = w_.relieve()) return r;
    }
  }

 private:
  TableWriter& w_;
  io::ExternalSorter sorter_;
  std::vector<std::uint8_t> entry_;
};

}  // namespace

Result ParadoxTable::insert(const std::vector<Value>& values, std::uint32_t* position) {
  return RunChange(*this, false, [&](TableWriter& w) { return w.insert(values, position); });
}

Result ParadoxTable::update(std::uint32_t index, const std::vector<Value>& values,
                            std::uint32_t* position) {
  return RunChange(*this, false, [&](TableWriter& w) { return w.update(index, values, position); });
}

Result ParadoxTable::remove(std::uint32_t index) {
  return RunChange(*this, false, [&](TableWriter& w) { return w.remove(index); });
}

// Rows of a keyed table are sorted first and placed in key order, so that
// each block is filled before the next is started; records of an unkeyed
// table go to its end as they come. Either way no record placed before
// moves when the table was empty, and the indexes may be built in order.
Result ParadoxTable::insertRows(RowSource& rows, std::uint64_t* inserted,
                               const RejectHandler& reject) {
  std::uint64_t count = 0, lateRejects = 0;
  const bool keyed = header_.isKeyed();
  Result result = RunChange(*this, !keyed || recordCount() == 0, [&](TableWriter& w) {
    std::optional<SortedRows> sorted;
    if (keyed) sorted.emplace(w, path_);
    std::vector<Value> values;
    std::vector<std::uint8_t> record;
    for (;;) {
      std::uint64_t label = 0;
      bool end = false;
      if (Result r = rows.next(values, label, end)) return r;
      if (end) break;
      Result r = w.prepare(values, record);
      const bool refused = r != Ok;
      if (r == Ok) r = sorted ? sorted->add(label, record) : w.place(record, nullptr);
      if (r) {
        const std::string message = rows.name(label) + ": " + LastErrorMessage();
        if (!reject || !(refused || r == ErrKeyViolation)) return Fail(r, message);
        if (Result h = reject(label, r, message)) return h;
        continue;
      }
      if (Result e = w.relieve()) return e;
      ++count;
    }
    return sorted ? sorted->place(rows, reject, lateRejects) : Result{Ok};
  });
  if (inserted) *inserted = result == Ok ? count - lateRejects : 0;
  return result;
}

}  // namespace engine::paradox
