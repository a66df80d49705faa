// Changing the records of a dBASE table.
//
// A change reads what it needs through its transaction, writes the records
// it touches, appends memo values at the end of the memo file, and writes
// the header (record count, date of the last update, level 7's
// autoincrement counters) and the end-of-file mark once at the end. A
// table with a production index has every tag's keys changed in the same
// transaction (engine/dbase/dbindex.h): keys of appended records are
// inserted, those of updated records replaced where they changed; marking a
// record deleted leaves the index alone, as deleted records stay indexed.
// All of it is journaled together, so a crash leaves the table and its
// index as they were before or after the change.
#include <algorithm>
#include <cstring>
#include <ctime>

#include "engine/dbase/dbindex.h"
#include "engine/dbase/dbtable.h"
#include "engine/dbase/dbvalue.h"
#include "engine/io/journal.h"

namespace engine::dbase {

namespace {

// Bytes a transaction holds before it writes them.
constexpr std::size_t kPendingLimit = 8u << 20;

bool SameValue(const std::string& a, const std::string& b) { return a == b; }

}  // namespace

class TableChange {
 public:
  explicit TableChange(DbaseTable& t) : t_(t) {}
  ~TableChange();

  // `indexDrop`: the change drops the production index, which may be one
  // that keeps the table from other changes.
  Result begin(bool indexDrop = false);
  // Values to a stored record. `old` is the record they replace (null for
  // a new record): fields a change leaves alone keep their bytes.
  Result prepare(const std::vector<Value>& values, const std::vector<std::uint8_t>* old,
                 std::vector<std::uint8_t>& record);
  Result append(const std::vector<std::uint8_t>& record, std::uint32_t& index);
  Result put(std::uint32_t index, const std::vector<std::uint8_t>& record);
  // put() for a record whose old bytes are `old`: the index follows.
  Result replace(std::uint32_t index, const std::vector<std::uint8_t>& old,
                 const std::vector<std::uint8_t>& record);
  Result read(std::uint32_t index, std::vector<std::uint8_t>& record);
  Result commit();
  // The production index flag of the header and the fields, cleared.
  Result clearIndexFlags();

 private:
  // Opens the production index on the change's transaction the first time
  // a change needs it; `indexed` says whether the table has one.
  Result openIndex(bool& indexed);
  // The lowest record other than `leaving` whose key in tag `tag` is `key`
  // (0 when none): who takes a key a record leaves in a unique tag.
  Result nextHolder(std::size_t tag, std::string_view key, std::uint32_t leaving,
                    std::uint32_t& found);
  Result storeMemo(const DbfField& f, const Value& value, const std::uint8_t* old,
                   std::uint8_t* record);
  std::uint64_t offsetOf(std::uint32_t index) const {
    return t_.header_.headerLength + std::uint64_t{index} * t_.header_.recordLength;
  }

  DbaseTable& t_;
  io::Transaction tx_;
  DbfHeader saved_;
  bool begun_ = false;
  bool committed_ = false;
  bool memoBegun_ = false;
  bool appended_ = false;
  bool countersChanged_ = false;
  bool indexOpen_ = false;
  TableTags tags_;
  MdxRecordKeys oldKeys_, newKeys_;
  MdxWriter index_;  // after tx_: gone before the transaction it writes through
};

TableChange::~TableChange() {
  if (!begun_ || committed_) return;
  tx_.rollback();
  t_.header_ = saved_;
  t_.dropCache();
}

Result TableChange::begin(bool indexDrop) {
  std::string why;
  if (!t_.canWrite(why) && !(indexDrop && why == t_.indexProblem_)) return Fail(ErrReadOnly, why);
  const std::string journal = JournalPathOf(t_.path_);
  Result r = tx_.begin(journal);
  if (r == ErrFileExists) {
    // A journal left by a change that died is undone; one of a change still
    // running in another process stays.
    ClearLastError();
    if (Result e = io::RecoverJournal(journal)) return e;
    r = tx_.begin(journal);
    if (r == ErrFileExists)
      return Fail(ErrTableInUse,
                  "Table is in use: " + t_.path_ + " (another process is changing it)");
  }
  if (r) return r;
  begun_ = true;
  tx_.setPendingLimit(kPendingLimit);
  saved_ = t_.header_;
  t_.dropCache();
  // Another process may have changed the table since it was read: the
  // header is read again (its counts, date and counters), and the file's
  // size bounds the records as at open.
  DbfHeader& h = t_.header_;
  std::vector<std::uint8_t> fresh(h.headerLength);
  if (Result e = tx_.read(t_.file_, 0, fresh.data(), fresh.size())) return e;
  if (fresh[0] != h.raw[0] || !std::equal(fresh.begin() + 8, fresh.begin() + 12, h.raw.begin() + 8))
    return Fail(ErrCorruptHeader,
                t_.path_ + ": the table's header changed since it was opened; open it again");
  h.raw = std::move(fresh);
  std::uint64_t size = 0;
  if (Result e = tx_.size(t_.file_, size)) return e;
  h.storedCount = static_cast<std::uint32_t>(h.raw[4] | h.raw[5] << 8 | h.raw[6] << 16 |
                                             static_cast<std::uint32_t>(h.raw[7]) << 24);
  const std::uint64_t room = size > h.headerLength ? (size - h.headerLength) / h.recordLength : 0;
  h.recordCount = static_cast<std::uint32_t>(std::min<std::uint64_t>(h.storedCount, room));
  return Ok;
}

Result TableChange::read(std::uint32_t index, std::vector<std::uint8_t>& record) {
  if (index >= t_.header_.recordCount)
    return Fail(ErrEndOfList, t_.path_ + ": no record " + std::to_string(index + 1));
  record.resize(t_.header_.recordLength);
  return tx_.read(t_.file_, offsetOf(index), record.data(), record.size());
}

Result TableChange::storeMemo(const DbfField& f, const Value& value, const std::uint8_t* old,
                              std::uint8_t* record) {
  std::string bytes;
  if (!IsNull(value)) {
    if (f.type == 'M') {
      const std::string* s = std::get_if<std::string>(&value);
      if (!s) return Fail(ErrInvalidValue, "field " + f.name + ": text is required");
      if (std::size_t bad = text::InvalidUtf8At(*s); bad != std::string::npos)
        return Fail(ErrInvalidValue, "field " + f.name + ": the text is not valid UTF-8 (byte " +
                                         std::to_string(bad + 1) + ")");
      if (!t_.codec_->fromUtf8(*s, bytes))
        return Fail(
            ErrInvalidValue,
            "field " + f.name + ": the text has characters the table's code page cannot hold");
    } else {
      const BlobValue* b = std::get_if<BlobValue>(&value);
      if (!b) return Fail(ErrInvalidValue, "field " + f.name + ": binary data is required");
      bytes = b->bytes;
    }
  }
  std::uint32_t block = 0;
  if (!bytes.empty()) {
    // An unchanged value keeps its place in the memo file.
    bool valid = false;
    const std::uint32_t oldBlock = old ? MemoPointer(f, old, valid) : 0;
    std::string before;
    if (valid && oldBlock != 0 && t_.memo_->read(oldBlock, before, &tx_) == Ok &&
        SameValue(before, bytes)) {
      block = oldBlock;
    } else {
      ClearLastError();
      if (!memoBegun_) {
        if (Result r = t_.memo_->begin(tx_)) return r;
        memoBegun_ = true;
      }
      if (Result r = t_.memo_->append(tx_, bytes, block))
        return Fail(r, "field " + f.name + ": " + LastErrorMessage());
    }
  }
  PutMemoPointer(f, block, record);
  return Ok;
}

Result TableChange::prepare(const std::vector<Value>& values, const std::vector<std::uint8_t>* old,
                            std::vector<std::uint8_t>& record) {
  const auto& fields = t_.fields_;
  if (values.size() != fields.size())
    return Fail(ErrInvalidParameter, t_.path_ + ": " + std::to_string(values.size()) +
                                         " values for " + std::to_string(fields.size()) +
                                         " fields");
  if (old) {
    record = *old;
  } else {
    record.assign(t_.header_.recordLength, ' ');
    for (const DbfField& f : fields)
      if (!f.isMemo())
        if (Result r = EncodeField(f, Value{}, *t_.codec_, record.data())) return r;
  }
  DbfHeader& h = t_.header_;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const DbfField& f = fields[i];
    const Value& v = values[i];
    if (f.isMemo()) {
      if (Result r = storeMemo(f, v, old ? old->data() : nullptr, record.data())) return r;
      continue;
    }
    if (f.type == '+') {
      // The next number when none is given; an update keeps the number.
      if (IsNull(v) && old) continue;
      const std::uint32_t next = std::max<std::uint32_t>(h.nextAutoIncrement(f), 1);
      const Value number = IsNull(v) ? Value{std::int64_t{next}} : v;
      if (Result r = EncodeField(f, number, *t_.codec_, record.data())) return r;
      const std::int64_t n = std::get<std::int64_t>(DecodeField(h, f, record.data(), *t_.codec_));
      if (n >= next && n < 0x7FFFFFFF) {
        h.setNextAutoIncrement(f, static_cast<std::uint32_t>(n + 1));
        countersChanged_ = true;
      }
      continue;
    }
    if (Result r = EncodeField(f, v, *t_.codec_, record.data())) return r;
  }
  return Ok;
}

Result TableChange::openIndex(bool& indexed) {
  indexed = t_.header_.productionIndex();
  if (!indexed || indexOpen_) return Ok;
  // Checked at open; the index may have gone or changed since.
  const std::string mdx = ProductionIndexOf(t_.path_);
  if (mdx.empty())
    return Fail(ErrReadOnly, t_.path_ + ": its production index (.MDX) is missing");
  index_.setNextHolder([this](std::size_t tag, std::string_view key, std::uint32_t leaving,
                              std::uint32_t& found) { return nextHolder(tag, key, leaving, found); });
  if (Result r = index_.open(tx_, mdx)) return r;
  if (tags_.plan(index_.file().tags, t_.fields_, false) != Ok)
    return Fail(ErrReadOnly, t_.path_ + ": " + LastErrorMessage());
  indexOpen_ = true;
  return Ok;
}

Result TableChange::nextHolder(std::size_t tag, std::string_view key, std::uint32_t leaving,
                               std::uint32_t& found) {
  found = 0;
  const std::size_t rl = t_.header_.recordLength;
  const std::uint32_t count = t_.header_.recordCount;
  const std::uint32_t window =
      static_cast<std::uint32_t>(std::max<std::size_t>(1, (64u * 1024) / rl));
  std::vector<char> buffer;
  std::string k;
  for (std::uint32_t first = 0; first < count; first += window) {
    const std::uint32_t n = std::min(window, count - first);
    buffer.resize(std::size_t{n} * rl);
    if (Result r = tx_.read(t_.file_, offsetOf(first), buffer.data(), buffer.size())) return r;
    for (std::uint32_t i = 0; i < n; ++i) {
      if (first + i + 1 == leaving) continue;
      if (Result r = tags_.key(tag, std::string_view(buffer.data() + std::size_t{i} * rl, rl), k))
        return Fail(r, "record " + std::to_string(first + i + 1) + ": " + LastErrorMessage());
      if (k == key) {
        found = first + i + 1;
        return Ok;
      }
    }
  }
  return Ok;
}

Result TableChange::append(const std::vector<std::uint8_t>& record, std::uint32_t& index) {
  DbfHeader& h = t_.header_;
  if (h.recordCount == 0xFFFFFFFFu) return Fail(ErrTableFull, t_.path_ + ": the table is full");
  index = h.recordCount;
  if (Result r = tx_.write(t_.file_, offsetOf(index), record.data(), record.size())) return r;
  h.setRecordCount(index + 1);
  appended_ = true;
  bool indexed = false;
  if (Result r = openIndex(indexed)) return r;
  if (!indexed) return Ok;
  const std::string_view bytes(reinterpret_cast<const char*>(record.data()), record.size());
  if (Result r = tags_.keys(bytes, index + 1, newKeys_)) return r;
  return index_.insert(newKeys_);
}

Result TableChange::put(std::uint32_t index, const std::vector<std::uint8_t>& record) {
  return tx_.write(t_.file_, offsetOf(index), record.data(), record.size());
}

Result TableChange::replace(std::uint32_t index, const std::vector<std::uint8_t>& old,
                            const std::vector<std::uint8_t>& record) {
  if (Result r = put(index, record)) return r;
  bool indexed = false;
  if (Result r = openIndex(indexed)) return r;
  if (!indexed) return Ok;
  auto bytes = [](const std::vector<std::uint8_t>& v) {
    return std::string_view(reinterpret_cast<const char*>(v.data()), v.size());
  };
  if (Result r = tags_.keys(bytes(old), index + 1, oldKeys_)) return r;
  if (Result r = tags_.keys(bytes(record), index + 1, newKeys_)) return r;
  return index_.replace(oldKeys_, newKeys_);
}

Result TableChange::commit() {
  DbfHeader& h = t_.header_;
  if (memoBegun_)
    if (Result r = t_.memo_->finish(tx_)) return r;
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  h.setLastUpdate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  if (Result r = tx_.write(t_.file_, 0, h.raw.data(), 32)) return r;
  if (countersChanged_)
    for (const DbfField& f : h.fields)
      if (f.type == '+')
        if (Result r = tx_.write(t_.file_, f.descriptor + 42, h.raw.data() + f.descriptor + 42, 4))
          return r;
  if (appended_) {
    const char eof = 0x1A;
    if (Result r = tx_.write(t_.file_, offsetOf(h.recordCount), &eof, 1)) return r;
  }
  if (Result r = tx_.commit()) return r;
  committed_ = true;
  t_.dropCache();
  return Ok;
}

Result TableChange::clearIndexFlags() {
  DbfHeader& h = t_.header_;
  h.raw[28] = 0;
  for (const DbfField& f : h.fields) {
    const std::size_t flag = f.descriptor + (h.level == 7 ? 37 : 31);
    if (flag >= h.raw.size() || h.raw[flag] == 0) continue;
    h.raw[flag] = 0;
    if (Result r = tx_.write(t_.file_, flag, h.raw.data() + flag, 1)) return r;
  }
  return Ok;
}

Result DbaseTable::runChange(const std::function<Result(TableChange&)>& change, bool indexDrop) {
  if (held_.active()) return held_.run(path_, change);
  TableChange c(*this);
  if (Result r = c.begin(indexDrop)) return r;
  if (Result r = change(c)) return r;  // the change's destructor rolls back
  return c.commit();
}

Result DbaseTable::beginChange() {
  if (held_.active()) return held_.hold(nullptr, path_);
  auto c = std::make_shared<TableChange>(*this);
  if (Result r = c->begin()) return r;
  return held_.hold(std::move(c), path_);
}

Result DbaseTable::endChange(bool commit) { return held_.end(commit, path_); }

Result DbaseTable::heldRecord(std::uint32_t index, const std::uint8_t*& out) {
  if (Result r = held_.change().read(index, heldBytes_)) return r;
  out = heldBytes_.data();
  return Ok;
}

Result DbaseTable::insert(const std::vector<Value>& values, std::uint32_t& index) {
  return runChange([&](TableChange& c) {
    std::vector<std::uint8_t> record;
    if (Result r = c.prepare(values, nullptr, record)) return r;
    return c.append(record, index);
  });
}

Result DbaseTable::update(std::uint32_t index, const std::vector<Value>& values) {
  return runChange([&](TableChange& c) {
    std::vector<std::uint8_t> old, record;
    if (Result r = c.read(index, old)) return r;
    if (Result r = c.prepare(values, &old, record)) return r;
    return c.replace(index, old, record);
  });
}

Result DbaseTable::setDeleted(std::uint32_t index, bool deleted) {
  return runChange([&](TableChange& c) {
    std::vector<std::uint8_t> record;
    if (Result r = c.read(index, record)) return r;
    record[0] = deleted ? '*' : ' ';
    return c.put(index, record);
  });
}

Result DbaseTable::clearProductionIndex() {
  if (Result r = runChange([&](TableChange& c) { return c.clearIndexFlags(); }, true))
    return r;
  indexProblem_.clear();
  return Ok;
}

Result DbaseTable::insertRows(RowSource& rows, std::uint64_t* inserted) {
  std::uint64_t count = 0;
  Result result = runChange([&](TableChange& c) {
    std::vector<Value> values;
    std::vector<std::uint8_t> record;
    for (;;) {
      std::uint64_t label = 0;
      bool end = false;
      if (Result r = rows.next(values, label, end)) return r;
      if (end) return Result{Ok};
      std::uint32_t index;
      Result r = c.prepare(values, nullptr, record);
      if (r == Ok) r = c.append(record, index);
      if (r) return Fail(r, rows.name(label) + ": " + LastErrorMessage());
      ++count;
    }
  });
  if (inserted) *inserted = result == Ok ? count : 0;
  return result;
}

}  // namespace engine::dbase
