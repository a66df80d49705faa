// Changing the records of a Paradox table.
//
// A change works on decrypted copies of the blocks it touches, then writes
// them, the header, the .MB and a rebuilt .PX through one rollback journal:
// a crash at any point leaves the table as it was before or after.
#include <algorithm>
#include <cstring>
#include <map>

#include "engine/io/journal.h"
#include "engine/paradox/pxblob.h"
#include "engine/paradox/pxcrypt.h"
#include "engine/paradox/pxindex.h"
#include "engine/paradox/pxtable.h"
#include "engine/paradox/pxvalue.h"

namespace engine::paradox {

class TableWriter {
 public:
  explicit TableWriter(ParadoxTable& t) : t_(t), h_(t.header_) {}

  Result begin();
  Result insert(const std::vector<Value>& values, std::uint32_t* position);
  Result update(std::uint32_t index, const std::vector<Value>& values, std::uint32_t* position);
  Result remove(std::uint32_t index);
  Result commit();

 private:
  using Bytes = std::vector<std::uint8_t>;

  std::uint16_t rs() const { return h_.recordSize(); }
  std::uint16_t perBlock() const { return t_.recordsPerBlock(); }
  Result block(std::uint16_t number, Bytes*& out);
  static std::uint16_t next(const Bytes& b) { return b[0] | (b[1] << 8); }
  static void setLinks(Bytes& b, std::uint16_t next, std::uint16_t prev);
  void setCount(Bytes& b, std::uint16_t count);
  Result allocate(std::uint16_t& number);
  void recount();

  Result encodeRecord(const std::vector<Value>& values, Bytes& rec);
  Result storeBlob(const PxField& f, const Value& v, std::uint8_t* p);
  Result releaseBlobs(const std::uint8_t* rec);
  int compareKeys(const std::uint8_t* a, const std::uint8_t* b) const;
  // Position (in table order) where a record with this key belongs.
  Result findKey(const std::uint8_t* rec, std::uint32_t& position, bool& exact);
  Result recordAt(std::uint32_t index, const std::uint8_t*& out);
  Result place(const Bytes& rec, std::uint32_t position);
  Result take(std::uint32_t index);
  Result writePrimaryIndex();
  Result decode(const Bytes& rec, std::vector<Value>& out);
  Result consult(const std::vector<Value>* oldValues, std::vector<Value>* newValues);

 public:
  // The records as the change leaves them, for participants.
  class Records : public RecordSource {
   public:
    explicit Records(TableWriter& w) : w_(w) {}
    std::uint32_t count() const override {
      std::uint32_t n = 0;
      for (const auto& b : w_.chain_) n += b.count;
      return n;
    }
    Result visit(const Visitor& visitor) override;

   private:
    TableWriter& w_;
  };
  ~TableWriter() {
    if (!committed_)
      for (const auto& p : t_.participants_) p->afterChange(t_, false);
  }

 private:
  bool committed_ = false;

  ParadoxTable& t_;
  PxHeader h_;  // the header as it will be written
  io::Transaction tx_;
  std::map<std::uint16_t, Bytes> dirty_;  // decrypted blocks, by number
  std::vector<ParadoxTable::Block> chain_;
  std::uint16_t fileBlocks_ = 0;
};

void TableWriter::setLinks(Bytes& b, std::uint16_t next, std::uint16_t prev) {
  b[0] = next & 0xFF;
  b[1] = next >> 8;
  b[2] = prev & 0xFF;
  b[3] = prev >> 8;
}

void TableWriter::setCount(Bytes& b, std::uint16_t count) {
  std::int16_t add = static_cast<std::int16_t>((count - 1) * rs());
  b[4] = static_cast<std::uint16_t>(add) & 0xFF;
  b[5] = static_cast<std::uint16_t>(add) >> 8;
  // Clear what lies past the last record, so stale copies do not linger.
  std::fill(b.begin() + 6 + static_cast<std::size_t>(count) * rs(), b.end(), 0);
}

Result TableWriter::begin() {
  if (!t_.writable_) return Fail(ErrReadOnly, t_.path_ + ": the table is open read-only");
  chain_ = t_.blocks_;
  const std::size_t hs = h_.headerSize(), bs = h_.blockSize();
  fileBlocks_ = static_cast<std::uint16_t>(
      t_.mapSize_ > hs ? (t_.mapSize_ - hs + bs - 1) / bs : 0);
  return tx_.begin(FamilyPath(t_.path_, ".QJR"));
}

Result TableWriter::block(std::uint16_t number, Bytes*& out) {
  auto it = dirty_.find(number);
  if (it == dirty_.end()) {
    Bytes b(h_.blockSize(), 0);
    if (number <= fileBlocks_ && t_.blockOffset(number) < t_.mapSize_) {
      const std::uint8_t* p;
      if (Result r = t_.blockData(number, p)) return r;
      std::memcpy(b.data(), p, b.size());
    }
    it = dirty_.emplace(number, std::move(b)).first;
  }
  out = &it->second;
  return Ok;
}

Result TableWriter::allocate(std::uint16_t& number) {
  if (std::uint16_t freeBlock = h_.firstFreeBlock()) {
    Bytes* b;
    if (Result r = block(freeBlock, b)) return r;
    h_.setFirstFreeBlock(next(*b));
    number = freeBlock;
  } else {
    if (fileBlocks_ == 0xFFFF)
      return Fail(ErrTableFull, t_.path_ + ": the table has no room for another block");
    number = ++fileBlocks_;
  }
  Bytes* b;
  if (Result r = block(number, b)) return r;
  std::fill(b->begin(), b->end(), 0);
  return Ok;
}

void TableWriter::recount() {
  std::uint32_t first = 0;
  for (auto& b : chain_) {
    b.firstRecord = first;
    first += b.count;
  }
}

Result TableWriter::recordAt(std::uint32_t index, const std::uint8_t*& out) {
  auto it = std::upper_bound(chain_.begin(), chain_.end(), index,
                             [](std::uint32_t i, const ParadoxTable::Block& b) {
                               return i < b.firstRecord;
                             });
  std::size_t at = static_cast<std::size_t>(it - chain_.begin()) - 1;
  while (chain_[at].count == 0 || index >= chain_[at].firstRecord + chain_[at].count) ++at;
  auto d = dirty_.find(chain_[at].number);
  const std::uint8_t* base;
  if (d != dirty_.end()) {
    base = d->second.data();
  } else if (Result r = t_.blockData(chain_[at].number, base)) {
    return r;
  }
  out = base + 6 + static_cast<std::size_t>(index - chain_[at].firstRecord) * rs();
  return Ok;
}

int TableWriter::compareKeys(const std::uint8_t* a, const std::uint8_t* b) const {
  for (int i = 0; i < h_.keyFieldCount(); ++i) {
    const PxField& f = h_.fields[i];
    if (int c = CompareStored(f, a + f.offset, b + f.offset, t_.driver_)) return c;
  }
  return 0;
}

Result TableWriter::findKey(const std::uint8_t* rec, std::uint32_t& position, bool& exact) {
  std::uint32_t lo = 0, hi = 0;
  for (const auto& b : chain_) hi += b.count;
  while (lo < hi) {
    std::uint32_t mid = lo + (hi - lo) / 2;
    const std::uint8_t* other;
    if (Result r = recordAt(mid, other)) return r;
    if (compareKeys(other, rec) < 0)
      lo = mid + 1;
    else
      hi = mid;
  }
  position = lo;
  exact = false;
  std::uint32_t total = 0;
  for (const auto& b : chain_) total += b.count;
  if (lo < total) {
    const std::uint8_t* other;
    if (Result r = recordAt(lo, other)) return r;
    exact = compareKeys(other, rec) == 0;
  }
  return Ok;
}

// Puts a record at a position of the table order, splitting a full block.
Result TableWriter::place(const Bytes& rec, std::uint32_t position) {
  if (chain_.empty()) {
    std::uint16_t n;
    if (Result r = allocate(n)) return r;
    chain_.push_back({n, 0, 0});
  }
  // The block that receives it: the one holding `position`, or the last.
  std::size_t at = chain_.size() - 1;
  for (std::size_t i = 0; i < chain_.size(); ++i) {
    if (position < chain_[i].firstRecord + chain_[i].count ||
        (position == chain_[i].firstRecord + chain_[i].count && i + 1 == chain_.size())) {
      at = i;
      break;
    }
  }
  std::uint16_t slot = static_cast<std::uint16_t>(position - chain_[at].firstRecord);
  if (chain_[at].count == perBlock()) {
    std::uint16_t fresh;
    if (Result r = allocate(fresh)) return r;
    Bytes *full, *added;
    if (Result r = block(chain_[at].number, full)) return r;
    if (Result r = block(fresh, added)) return r;
    // Appending at the very end starts a new block; elsewhere the block splits in half.
    std::uint16_t keep = (slot == perBlock() && at + 1 == chain_.size()) ? perBlock()
                                                                           : perBlock() / 2;
    std::uint16_t moved = chain_[at].count - keep;
    std::memcpy(added->data() + 6, full->data() + 6 + static_cast<std::size_t>(keep) * rs(),
                static_cast<std::size_t>(moved) * rs());
    chain_.insert(chain_.begin() + at + 1, {fresh, moved, 0});
    chain_[at].count = keep;
    recount();
    if (slot > keep || keep == perBlock()) {
      ++at;
      slot -= keep;
    }
  }
  Bytes* b;
  if (Result r = block(chain_[at].number, b)) return r;
  std::uint8_t* base = b->data() + 6;
  std::memmove(base + static_cast<std::size_t>(slot + 1) * rs(),
               base + static_cast<std::size_t>(slot) * rs(),
               static_cast<std::size_t>(chain_[at].count - slot) * rs());
  std::memcpy(base + static_cast<std::size_t>(slot) * rs(), rec.data(), rs());
  ++chain_[at].count;
  recount();
  return Ok;
}

// Removes the record at `index` from its block; an emptied block leaves the
// chain for the free list (block 1 stays, empty, as other programs keep it).
Result TableWriter::take(std::uint32_t index) {
  std::size_t at = 0;
  while (chain_[at].count == 0 || index >= chain_[at].firstRecord + chain_[at].count) ++at;
  Bytes* b;
  if (Result r = block(chain_[at].number, b)) return r;
  std::uint16_t slot = static_cast<std::uint16_t>(index - chain_[at].firstRecord);
  std::uint8_t* base = b->data() + 6;
  std::memmove(base + static_cast<std::size_t>(slot) * rs(),
               base + static_cast<std::size_t>(slot + 1) * rs(),
               static_cast<std::size_t>(chain_[at].count - slot - 1) * rs());
  --chain_[at].count;
  if (chain_[at].count == 0 && chain_[at].number != 1) {
    std::uint16_t n = chain_[at].number;
    std::fill(b->begin(), b->end(), 0);
    setLinks(*b, h_.firstFreeBlock(), 0);
    h_.setFirstFreeBlock(n);
    chain_.erase(chain_.begin() + at);
  }
  recount();
  return Ok;
}

Result TableWriter::storeBlob(const PxField& f, const Value& v, std::uint8_t* p) {
  const std::size_t leader = f.size - 10;
  std::memset(p, 0, f.size);
  if (IsNull(v)) return Ok;
  std::string content;
  if (f.code == fcMemo) {
    const std::string* s = std::get_if<std::string>(&v);
    if (!s) return Fail(ErrInvalidValue, "Field " + f.name + ": text is required");
    t_.codec_->fromUtf8(*s, content);
  } else {
    const BlobValue* b = std::get_if<BlobValue>(&v);
    if (!b) return Fail(ErrInvalidValue, "Field " + f.name + ": binary data is required");
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
    if (Result r = t_.openBlobFile(true)) return r;
    if (Result r = t_.blobs_->write(content, 1, ref, &tx_)) return r;
  }
  std::memcpy(p, content.data(), std::min(leader, content.size()));
  StoreBlobRef(ref, p + leader);
  return Ok;
}

Result TableWriter::releaseBlobs(const std::uint8_t* rec) {
  for (const PxField& f : h_.fields) {
    if (!IsBlobCode(f.code)) continue;
    BlobRef ref = ParseBlobRef(rec + f.offset + f.size - 10);
    if (ref.offset == 0 || ref.length <= static_cast<std::uint32_t>(f.size - 10)) continue;
    if (Result r = t_.openBlobFile(false)) return r;
    if (Result r = t_.blobs_->release(ref, &tx_)) return r;
  }
  return Ok;
}

Result TableWriter::encodeRecord(const std::vector<Value>& values, Bytes& rec) {
  if (values.size() != h_.fields.size())
    return Fail(ErrInvalidParameter, t_.path_ + ": " + std::to_string(values.size()) +
                                         " values given for " +
                                         std::to_string(h_.fields.size()) + " fields");
  rec.assign(rs(), 0);
  for (std::size_t i = 0; i < values.size(); ++i) {
    const PxField& f = h_.fields[i];
    std::uint8_t* p = rec.data() + f.offset;
    if (IsBlobCode(f.code)) {
      if (Result r = storeBlob(f, values[i], p)) return r;
    } else if (Result r = EncodeField(f, values[i], *t_.codec_, p)) {
      return r;
    }
  }
  return Ok;
}

Result TableWriter::insert(const std::vector<Value>& values, std::uint32_t* position) {
  std::vector<Value> filled = values;
  for (std::size_t i = 0; i < filled.size() && i < h_.fields.size(); ++i) {
    if (h_.fields[i].code == fcAutoinc) {
      if (IsNull(filled[i])) {
        filled[i] = static_cast<std::int64_t>(h_.autoIncrement()) + 1;
      }
      if (auto v = std::get_if<std::int64_t>(&filled[i]); v && *v > h_.autoIncrement())
        h_.setAutoIncrement(static_cast<std::uint32_t>(*v));
    }
  }
  if (Result r = consult(nullptr, &filled)) return r;
  Bytes rec;
  if (Result r = encodeRecord(filled, rec)) return r;
  std::uint32_t at = 0;
  for (const auto& b : chain_) at += b.count;
  if (h_.isKeyed()) {
    bool exact;
    if (Result r = findKey(rec.data(), at, exact)) return r;
    if (exact) return Fail(ErrKeyViolation, t_.path_ + ": a record with this key exists already");
  }
  if (Result r = place(rec, at)) return r;
  if (position) *position = at;
  return Ok;
}

Result TableWriter::remove(std::uint32_t index) {
  std::uint32_t total = 0;
  for (const auto& b : chain_) total += b.count;
  if (index >= total) return Fail(ErrNoCurrentRecord, t_.path_ + ": no record " + std::to_string(index + 1));
  const std::uint8_t* rec;
  if (Result r = recordAt(index, rec)) return r;
  Bytes copy(rec, rec + rs());
  if (!t_.participants_.empty()) {
    std::vector<Value> old;
    if (Result r = decode(copy, old)) return r;
    if (Result r = consult(&old, nullptr)) return r;
  }
  if (Result r = releaseBlobs(copy.data())) return r;
  return take(index);
}

Result TableWriter::update(std::uint32_t index, const std::vector<Value>& values,
                           std::uint32_t* position) {
  std::uint32_t total = 0;
  for (const auto& b : chain_) total += b.count;
  if (index >= total) return Fail(ErrNoCurrentRecord, t_.path_ + ": no record " + std::to_string(index + 1));
  const std::uint8_t* old;
  if (Result r = recordAt(index, old)) return r;
  Bytes before(old, old + rs());
  std::vector<Value> changed = values;
  if (!t_.participants_.empty()) {
    std::vector<Value> oldValues;
    if (Result r = decode(before, oldValues)) return r;
    if (Result r = consult(&oldValues, &changed)) return r;
  }
  if (Result r = releaseBlobs(before.data())) return r;
  Bytes rec;
  if (Result r = encodeRecord(changed, rec)) return r;
  std::uint32_t at = index;
  if (h_.isKeyed() && compareKeys(before.data(), rec.data()) != 0) {
    bool exact;
    if (Result r = findKey(rec.data(), at, exact)) return r;
    if (exact) return Fail(ErrKeyViolation, t_.path_ + ": a record with this key exists already");
    if (Result r = take(index)) return r;
    if (at > index) --at;
    if (Result r = place(rec, at)) return r;
  } else {
    std::size_t b = 0;
    while (chain_[b].count == 0 || index >= chain_[b].firstRecord + chain_[b].count) ++b;
    Bytes* blk;
    if (Result r = block(chain_[b].number, blk)) return r;
    std::memcpy(blk->data() + 6 + static_cast<std::size_t>(index - chain_[b].firstRecord) * rs(),
                rec.data(), rs());
  }
  if (position) *position = at;
  return Ok;
}

Result TableWriter::decode(const Bytes& rec, std::vector<Value>& out) {
  out.resize(h_.fields.size());
  for (std::size_t i = 0; i < out.size(); ++i)
    if (Result r = t_.fieldValue(rec.data(), static_cast<int>(i), out[i])) return r;
  return Ok;
}

Result TableWriter::consult(const std::vector<Value>* oldValues, std::vector<Value>* newValues) {
  for (const auto& p : t_.participants_)
    if (Result r = p->beforeChange(t_, oldValues, newValues)) return r;
  return Ok;
}

Result TableWriter::Records::visit(const Visitor& visitor) {
  RecordPlace place;
  for (const auto& b : w_.chain_) {
    const std::uint8_t* data;
    auto d = w_.dirty_.find(b.number);
    if (d != w_.dirty_.end()) {
      data = d->second.data();
    } else if (Result r = w_.t_.blockData(b.number, data)) {
      return r;
    }
    // Protected tables decrypt into one shared buffer: keep a copy per block.
    Bytes copy(data, data + w_.h_.blockSize());
    for (std::uint16_t slot = 0; slot < b.count; ++slot) {
      place.block = b.number;
      place.slot = slot;
      if (Result r = visitor(place, copy.data() + 6 + static_cast<std::size_t>(slot) * w_.rs()))
        return r;
      ++place.position;
    }
  }
  return Ok;
}

Result TableWriter::writePrimaryIndex() {
  if (!h_.isKeyed()) return Ok;
  std::vector<IndexEntry> leaves;
  for (const auto& b : chain_) {
    if (b.count == 0) continue;
    const std::uint8_t* first;
    if (Result r = recordAt(b.firstRecord, first)) return r;
    leaves.push_back({std::string(reinterpret_cast<const char*>(first), KeySize(h_)), b.number,
                      b.count});
  }
  return WritePrimaryIndex(t_.path_, h_, leaves, tx_);
}

Result TableWriter::commit() {
  // Relink the chain and write every touched block.
  for (std::size_t i = 0; i < chain_.size(); ++i) {
    Bytes* b;
    if (Result r = block(chain_[i].number, b)) return r;
    std::uint16_t nextBlock = i + 1 < chain_.size() ? chain_[i + 1].number : 0;
    std::uint16_t prevBlock = i > 0 ? chain_[i - 1].number : 0;
    if (next(*b) != nextBlock || (((*b)[2] | ((*b)[3] << 8)) != prevBlock)) setLinks(*b, nextBlock, prevBlock);
    setCount(*b, chain_[i].count);
  }
  for (auto& [number, data] : dirty_) {
    Bytes out = data;
    if (std::uint32_t key = h_.encryption()) EncryptDbBlock(out.data(), out.size(), key, number);
    if (Result r = tx_.write(t_.file_, t_.blockOffset(number), out.data(), out.size())) return r;
  }
  std::uint32_t total = 0;
  for (const auto& b : chain_) total += b.count;
  h_.setRecordCount(total);
  h_.setBlocks(static_cast<std::uint16_t>(chain_.size()), fileBlocks_,
               chain_.empty() ? 0 : chain_.front().number,
               chain_.empty() ? 0 : chain_.back().number);
  h_.clearModifiedFlags();
  if (Result r = tx_.write(t_.file_, 0, h_.raw.data(), h_.raw.size())) return r;
  if (Result r = writePrimaryIndex()) return r;
  Records records(*this);
  for (const auto& p : t_.participants_)
    if (Result r = p->beforeCommit(t_, records, tx_)) return r;
  if (Result r = tx_.commit()) return r;
  committed_ = true;
  t_.header_ = h_;
  Result r = t_.mapFile();
  if (r == Ok) r = t_.buildBlockMap();
  for (const auto& p : t_.participants_) p->afterChange(t_, true);
  return r;
}

namespace {

template <typename Change>
Result RunChange(ParadoxTable& t, Change change) {
  TableWriter w(t);
  if (Result r = w.begin()) return r;
  if (Result r = change(w)) return r;  // the writer's destructor rolls back
  return w.commit();
}

}  // namespace

Result ParadoxTable::insert(const std::vector<Value>& values, std::uint32_t* position) {
  return RunChange(*this, [&](TableWriter& w) { return w.insert(values, position); });
}

Result ParadoxTable::update(std::uint32_t index, const std::vector<Value>& values,
                            std::uint32_t* position) {
  return RunChange(*this, [&](TableWriter& w) { return w.update(index, values, position); });
}

Result ParadoxTable::remove(std::uint32_t index) {
  return RunChange(*this, [&](TableWriter& w) { return w.remove(index); });
}

Result ParadoxTable::insertRows(RowSource& rows, std::uint64_t* inserted) {
  std::uint64_t count = 0;
  Result r = RunChange(*this, [&](TableWriter& w) {
    std::vector<Value> values;
    for (;;) {
      std::uint64_t label = 0;
      bool end = false;
      if (Result r = rows.next(values, label, end)) return r;
      if (end) return Result{Ok};
      if (Result r = w.insert(values, nullptr)) return Fail(r, rows.name(label) + ": " + LastErrorMessage());
      ++count;
    }
  });
  if (inserted) *inserted = r == Ok ? count : 0;
  return r;
}

}  // namespace engine::paradox
