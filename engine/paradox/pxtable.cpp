#include "engine/paradox/pxtable.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "engine/io/journal.h"
#include "engine/io/lock.h"
#include "engine/io/memo.h"
#include "engine/io/path.h"
#include "engine/paradox/pxblob.h"
#include "engine/paradox/pxcrypt.h"
#include "engine/paradox/pxfamily.h"
#include "engine/paradox/pxvalue.h"

namespace engine::paradox {

namespace {

using io::Upper;

// Graphic and OLE contents carry an 8-byte prefix before the data.
std::size_t PrefixLength(std::uint8_t code) { return code == fcGraphic || code == fcOle ? 8 : 0; }

// Reads the 6-byte headers of data blocks while the block chain is followed
// at open. Plain reads are used rather than the mapping: mapping in every
// page of a large file costs far more than copying its bytes. Chains mostly
// run through consecutive blocks, so the block right after those read last
// brings in a window of the following blocks with one read; a jump elsewhere
// reads just the header it needs.
class ChainReader {
 public:
  ChainReader(const io::File& file, const PxHeader& header, std::size_t fileSize)
      : file_(file),
        headerSize_(header.headerSize()),
        blockSize_(header.blockSize()),
        fileSize_(fileSize),
        buffer_(new std::uint8_t[std::max<std::size_t>(kWindow, blockSize_)]) {}

  // The header of block `number`, whose first 6 bytes must lie in the file.
  Result header(std::uint16_t number, const std::uint8_t*& out) {
    if (number < first_ || number >= end_) {
      const std::size_t offset = headerSize_ + static_cast<std::size_t>(number - 1) * blockSize_;
      std::size_t length = 6;
      if (end_ == 0 || number == end_)
        length = std::min(std::max<std::size_t>(kWindow, blockSize_), fileSize_ - offset);
      if (Result r = file_.read(offset, buffer_.get(), length)) return r;
      first_ = number;
      end_ = number + static_cast<std::uint32_t>((length - 6) / blockSize_) + 1;
    }
    out = buffer_.get() + static_cast<std::size_t>(number - first_) * blockSize_;
    return Ok;
  }

 private:
  static constexpr std::size_t kWindow = 64 * 1024;
  const io::File& file_;
  const std::size_t headerSize_, blockSize_, fileSize_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::uint32_t first_ = 0, end_ = 0;  // the blocks whose headers are in buffer_
};

}  // namespace

std::string FamilyPath(const std::string& tablePath, const std::string& upperExtension) {
  std::size_t slash = tablePath.find_last_of('/');
  std::string dir = slash == std::string::npos ? "." : tablePath.substr(0, slash);
  std::string file = slash == std::string::npos ? tablePath : tablePath.substr(slash + 1);
  std::size_t dot = file.find_last_of('.');
  std::string stem = dot == std::string::npos ? file : file.substr(0, dot);
  std::string ext = dot == std::string::npos ? "" : file.substr(dot + 1);
  bool lower = !ext.empty() && std::islower(static_cast<unsigned char>(ext[0]));
  std::string newExt = upperExtension;
  if (lower)
    for (char& c : newExt) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string base = slash == std::string::npos ? "" : tablePath.substr(0, slash + 1);
  const std::string named = base + stem + newExt;
  struct stat st {};
  if (::lstat(named.c_str(), &st) == 0) return named;
  // An existing member whose name differs only in case is the one to use.
  const std::string wanted = Upper(stem + upperExtension);
  if (auto names = io::DirectoryNames(dir))
    for (const std::string& name : *names)
      if (Upper(name) == wanted) return dir + "/" + name;
  return named;
}

namespace {

// The block maps of tables opened before, so that opening one again need
// not follow its whole chain, taken again while the file's stamp and
// header bytes are as they were (io/memo.h).
struct ChainMemo {
  std::vector<std::uint8_t> header;
  BlockMap blocks;
};

io::StampMemo<ChainMemo> g_memos(16, false);  // stamps taken through a fresh open

std::string AbsolutePath(const std::string& path) {
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  return ec ? path : absolute.lexically_normal().string();
}

constexpr std::size_t kParkedTables = 8;
std::mutex g_parkMutex;

// Never destroyed: tables still parked at exit are left to the system.
std::vector<std::unique_ptr<ParadoxTable>>& Parked() {
  static auto* parked = new std::vector<std::unique_ptr<ParadoxTable>>;
  return *parked;
}

bool SameOptions(const OpenOptions& a, const OpenOptions& b) {
  return a.writable == b.writable && a.exclusive == b.exclusive && a.passwords == b.passwords;
}

}  // namespace

ParadoxTable::~ParadoxTable() {
  held_.drop();  // a change left running is rolled back while the table is whole
  if (map_) munmap(const_cast<std::uint8_t*>(map_), mapSize_);
}

void ParkTable(std::unique_ptr<ParadoxTable> table) {
  // Parked only as it was opened: its stamps then still hold.
  struct stat now {};
  if (!table || !table->stamps_.trusted || table->options_.exclusive || table->held_.active() ||
      table->writer_ || ::fstat(table->file_.fd(), &now) != 0 ||
      !io::SameStamp(now, table->stamps_.file))
    return;
  table->lock_.suspend();
  std::lock_guard<std::mutex> lock(g_parkMutex);
  auto& parked = Parked();
  if (parked.size() >= kParkedTables) parked.erase(parked.begin());  // the longest parked
  parked.push_back(std::move(table));
}

std::unique_ptr<ParadoxTable> TakeParkedTable(const std::string& path, const OpenOptions& options) {
  if (options.exclusive) return nullptr;
  const std::string absolute = AbsolutePath(path);
  std::unique_ptr<ParadoxTable> t;
  {
    std::lock_guard<std::mutex> lock(g_parkMutex);
    auto& parked = Parked();
    auto it = std::find_if(parked.begin(), parked.end(), [&](const auto& e) {
      return e->path_ == absolute && SameOptions(e->options_, options);
    });
    if (it == parked.end()) return nullptr;
    t = std::move(*it);
    parked.erase(it);
  }
  // Locked first, then checked: no change can begin unseen in between. The
  // file at the path is still the one opened, unchanged, and no member of
  // its family came or went.
  if (t->lock_.resume(t->path_, io::TableLock::Kind::Shared)) {
    ClearLastError();  // the full open says why
    return nullptr;
  }
  if (!t->stamps_.hold(t->path_)) return nullptr;
  return t;
}


Result ParadoxTable::Open(const std::string& path, const OpenOptions& options,
                          std::unique_ptr<ParadoxTable>& out) {
  std::unique_ptr<ParadoxTable> t(new ParadoxTable);
  // Journals name their files; absolute names keep recovery independent of
  // the working directory.
  t->path_ = AbsolutePath(path);
  t->writable_ = options.writable;
  t->options_ = options;
  // A change or a file swap that was cut short is finished or undone first.
  // Lock first: a change that is still running belongs to whoever holds the
  // table, and only an interrupted one is finished or undone here. (A table
  // moved aside by an interrupted file swap is put back before it can be locked.)
  const std::string plan = FamilyPath(t->path_, ".QRP");
  const auto kind =
      options.exclusive ? io::TableLock::Kind::Exclusive : io::TableLock::Kind::Shared;
  Result locked = t->lock_.acquire(t->path_, kind);
  if (locked == ErrNotFound && io::FileExists(plan)) {
    if (Result r = io::RecoverReplace(plan)) return r;
    locked = t->lock_.acquire(t->path_, kind);
  }
  if (locked) return locked;
  if (Result r = io::RecoverReplace(plan)) return r;
  if (Result r = io::RecoverJournal(FamilyPath(t->path_, ".QJR"))) return r;
  if (Result r = t->file_.open(t->path_,
                               options.writable ? io::File::Mode::ReadWrite : io::File::Mode::Read))
    return r;
  if (Result r = t->load()) return r;
  // Staged files of a whole-table operation that died before its plan.
  RemoveStagedLeftovers(t->path_, t->lock_, options.exclusive);
  // The master password gives every right, an auxiliary one its own.
  if (Result r = ResolveRights(t->path_, t->header_, options.passwords, t->rights_)) return r;
  if (!t->rights_.master) t->addParticipant(MakeRightsGuard());
  if (Result r = t->loadBlockMap()) return r;
  // Stamps of the file at the path, which must be the file opened.
  t->stamps_.take(t->path_);
  struct stat opened {};
  if (::fstat(t->file_.fd(), &opened) != 0 || !io::SameStamp(opened, t->stamps_.file))
    t->stamps_.trusted = false;
  out = std::move(t);
  return Ok;
}

void ParadoxTable::addParticipant(std::shared_ptr<TableParticipant> participant) {
  participants_.push_back(std::move(participant));
}

Result ParadoxTable::mapFile() {
  if (map_) munmap(const_cast<std::uint8_t*>(map_), mapSize_);
  map_ = nullptr;
  std::uint64_t size = 0;
  if (Result r = file_.size(size)) return r;
  mapSize_ = static_cast<std::size_t>(size);
  if (mapSize_ == 0) return Fail(ErrCorruptHeader, path_ + ": the file is empty");
  void* m = mmap(nullptr, mapSize_, PROT_READ, MAP_SHARED, file_.fd(), 0);
  if (m == MAP_FAILED) return Fail(ErrIo, path_ + ": cannot map the file into memory");
  map_ = static_cast<const std::uint8_t*>(m);
  plainBlockNumber_ = 0;
  return Ok;
}

Result ParadoxTable::refreshMap() {
  std::uint64_t size = 0;
  if (Result r = file_.size(size)) return r;
  plainBlockNumber_ = 0;
  return size == mapSize_ ? Result{Ok} : mapFile();
}

Result ParadoxTable::load() {
  if (Result r = mapFile()) return r;
  if (Result r = header_.parse(path_, map_, mapSize_)) return r;
  if (header_.fileType() != ftKeyedDb && header_.fileType() != ftUnkeyedDb)
    return Fail(ErrCorruptHeader, path_ + ": not a table file (file type " +
                                      std::to_string(header_.fileType()) + ")");
  if (Result r = header_.checkFileSize(path_, mapSize_)) return r;
  driver_ = text::DriverFromHeader(header_.sortOrderId, header_.codePage(), header_.sortByte());
  codec_ = std::make_unique<text::Codec>(TableCodePage(header_, driver_));
  return Ok;
}

int TableCodePage(const PxHeader& header, const text::LanguageDriver* driver) {
  if (!header.hasLevel4Layout()) return 437;  // level-3 tables carry no code page
  if (header.codePage()) return header.codePage();
  return driver ? driver->codePage : 437;
}

Result ParadoxTable::blockData(std::uint16_t number, const std::uint8_t*& out) {
  if (held_.active()) return heldBlock(number, out);  // the change's blocks, not the file's
  const std::size_t bs = header_.blockSize();
  if (number == 0 || blockOffset(number) + 6 > mapSize_)
    return Fail(ErrCorruptBlock,
                path_ + ": block " + std::to_string(number) + " lies outside the file");
  const std::uint8_t* p = map_ + blockOffset(number);
  const std::uint32_t key = header_.encryption();
  const std::size_t available = std::min(bs, mapSize_ - blockOffset(number));
  if (!key && available == bs) {
    out = p;
    return Ok;
  }
  if (plainBlockNumber_ != number) {
    // Protected tables, and a last block cut short by the end of the file,
    // are read through a copy (the missing tail reads as zeros).
    plainBlock_.assign(bs, 0);
    std::memcpy(plainBlock_.data(), p, available);
    if (key) DecryptDbBlock(plainBlock_.data(), bs, key, number);
    plainBlockNumber_ = number;
  }
  out = plainBlock_.data();
  return Ok;
}

Result ParadoxTable::loadBlockMap() {
  struct stat st {};
  if (::fstat(file_.fd(), &st) != 0) return buildBlockMap();
  ChainMemo memo;
  if (g_memos.find(path_, st, memo) && memo.header == header_.raw) {
    blocks_ = std::move(memo.blocks);
    return Ok;
  }
  if (Result r = buildBlockMap()) return r;
  g_memos.keep(path_, st, {header_.raw, blocks_});
  return Ok;
}

Result ParadoxTable::buildBlockMap() {
  blocks_.clear();
  const std::size_t fileBlocks = header_.totalBlocks();
  std::vector<bool> seen(fileBlocks + 1, false);
  const int rs = header_.recordSize();
  std::uint16_t number = header_.firstBlock();
  std::uint16_t previous = 0;
  if (header_.recordCount() > 0 && number == 0)
    return Fail(ErrCorruptHeader, path_ + ": records are counted but no data block is named");
  ChainReader chain(file_, header_, mapSize_);
  while (number != 0) {
    if (number > fileBlocks)
      return Fail(ErrCorruptBlock, path_ + ": block chain points at block " +
                                       std::to_string(number) + " beyond the " +
                                       std::to_string(fileBlocks) + " blocks of the file");
    if (seen[number])
      return Fail(ErrCorruptBlock,
                  path_ + ": block chain loops back to block " + std::to_string(number));
    seen[number] = true;
    const std::uint8_t* p;
    if (header_.encryption() || blockOffset(number) + 6 > mapSize_) {
      // Protected blocks are decrypted whole; blockData also names a
      // block cut off by the end of the file.
      if (Result r = blockData(number, p)) return r;
    } else if (Result r = chain.header(number, p)) {
      return r;
    }
    std::uint16_t next = p[0] | (p[1] << 8);
    std::int16_t add = static_cast<std::int16_t>(p[4] | (p[5] << 8));
    if ((add + rs) % rs != 0 || add < -rs || (add + rs) / rs > recordsPerBlock())
      return Fail(ErrCorruptBlock,
                  path_ + ": block " + std::to_string(number) + " has an invalid record count");
    std::uint16_t count = static_cast<std::uint16_t>((add + rs) / rs);
    // A last block may be cut short by the end of the file, its records not.
    if (blockOffset(number) + 6 + std::size_t{count} * rs > mapSize_)
      return Fail(ErrCorruptBlock, path_ + ": the records of block " + std::to_string(number) +
                                       " run past the end of the file");
    blocks_.push(number, count);
    previous = number;
    number = next;
  }
  (void)previous;
  return Ok;
}

Result ParadoxTable::record(std::uint32_t index, const std::uint8_t*& out) {
  if (index >= recordCount())
    return Fail(ErrEndOfList, path_ + ": no record " + std::to_string(index + 1));
  std::uint16_t block, slot;
  blocks_.locate(index, block, slot);
  const std::uint8_t* p;
  if (Result r = blockData(block, p)) return r;
  out = p + 6 + static_cast<std::size_t>(slot) * header_.recordSize();
  return Ok;
}

Result ParadoxTable::findInBlock(std::uint16_t block, const std::uint8_t* key,
                                 std::uint32_t& position) {
  std::uint32_t first = 0;
  std::uint16_t count = 0;
  const std::uint8_t* data;
  if (!blocks_.find(block, first, count))
    return Fail(ErrNoCurrentRecord,
                path_ + ": block " + std::to_string(block) + " holds no records");
  if (Result r = blockData(block, data)) return r;
  auto compare = [&](const std::uint8_t* rec) {
    for (int i = 0; i < header_.keyFieldCount(); ++i) {
      const PxField& f = header_.fields[i];
      if (int c = CompareStored(f, rec + f.offset, key + f.offset, driver_)) return c;
    }
    return 0;
  };
  std::uint16_t lo = 0, hi = count;
  while (lo < hi) {
    const auto mid = static_cast<std::uint16_t>(lo + (hi - lo) / 2);
    if (compare(data + 6 + static_cast<std::size_t>(mid) * header_.recordSize()) < 0)
      lo = static_cast<std::uint16_t>(mid + 1);
    else
      hi = mid;
  }
  if (lo == count || compare(data + 6 + static_cast<std::size_t>(lo) * header_.recordSize()) != 0)
    return Fail(ErrNoCurrentRecord,
                path_ + ": block " + std::to_string(block) + " holds no record with this key");
  position = first + lo;
  return Ok;
}

// ------------------------------------------------------------- block map

void BlockMap::clear() {
  blocks_.clear();
  total_ = 0;
  summed_ = 0;
  hint_ = 0;
}

void BlockMap::push(std::uint16_t block, std::uint16_t count) {
  blocks_.push_back({block, count, total_});
  total_ += count;
  if (summed_ + 1 == blocks_.size()) summed_ = blocks_.size();
}

void BlockMap::sumUp() {
  std::uint32_t first = summed_ == 0 ? 0 : blocks_[summed_ - 1].first + blocks_[summed_ - 1].count;
  for (std::size_t i = summed_; i < blocks_.size(); ++i) {
    blocks_[i].first = first;
    first += blocks_[i].count;
  }
  summed_ = blocks_.size();
}

void BlockMap::locate(std::uint32_t position, std::uint16_t& block, std::uint16_t& slot) {
  sumUp();
  auto it = std::upper_bound(blocks_.begin(), blocks_.end(), position,
                             [](std::uint32_t p, const Entry& e) { return p < e.first; });
  std::size_t at = static_cast<std::size_t>(it - blocks_.begin()) - 1;
  // Empty blocks share the position of the block after them.
  while (position >= blocks_[at].first + blocks_[at].count) ++at;
  block = blocks_[at].block;
  slot = static_cast<std::uint16_t>(position - blocks_[at].first);
}

std::uint32_t BlockMap::firstOf(std::uint16_t block) {
  const std::size_t i = indexOf(block);
  sumUp();
  return i < blocks_.size() ? blocks_[i].first : total_;
}

bool BlockMap::find(std::uint16_t block, std::uint32_t& first, std::uint16_t& count) {
  const std::size_t i = indexOf(block);
  if (i == blocks_.size()) return false;
  sumUp();
  first = blocks_[i].first;
  count = blocks_[i].count;
  return true;
}

// Changes come in runs over neighbouring blocks: the last block found, and
// its neighbours, are tried before a search.
std::size_t BlockMap::indexOf(std::uint16_t block) {
  for (std::size_t i : {hint_, hint_ + 1, hint_ - 1})
    if (i < blocks_.size() && blocks_[i].block == block) return hint_ = i;
  for (std::size_t i = 0; i < blocks_.size(); ++i)
    if (blocks_[i].block == block) return hint_ = i;
  return blocks_.size();
}

void BlockMap::linked(std::uint16_t block, std::uint16_t after) {
  const std::size_t at = after == 0 ? 0 : std::min(indexOf(after) + 1, blocks_.size());
  blocks_.insert(blocks_.begin() + static_cast<std::ptrdiff_t>(at), {block, 0, 0});
  invalidateFrom(at);
  hint_ = at;
}

void BlockMap::unlinked(std::uint16_t block) {
  const std::size_t at = indexOf(block);
  if (at == blocks_.size()) return;
  total_ -= blocks_[at].count;
  blocks_.erase(blocks_.begin() + static_cast<std::ptrdiff_t>(at));
  invalidateFrom(at);
}

void BlockMap::counted(std::uint16_t block, int delta) {
  const std::size_t at = indexOf(block);
  if (at == blocks_.size()) return;
  blocks_[at].count = static_cast<std::uint16_t>(blocks_[at].count + delta);
  total_ = static_cast<std::uint32_t>(static_cast<std::int64_t>(total_) + delta);
  invalidateFrom(at + 1);
}

Result ParadoxTable::openBlobFile(bool create) {
  if (blobs_) return Ok;
  std::string mb = FamilyPath(path_, ".MB");
  auto blobs = std::make_unique<BlobFile>();
  Result r = (create && !io::FileExists(mb)) ? blobs->create(mb, header_.encryption())
                                             : blobs->open(mb, writable_, header_.encryption());
  if (r) return r;
  blobs_ = std::move(blobs);
  blobs_->attach(writer_);
  return Ok;
}

Result ParadoxTable::readBlob(const PxField& f, const std::uint8_t* p, Value& out) {
  const std::size_t leader = f.size - 10;
  BlobRef ref = ParseBlobRef(p + leader);
  if (ref.length == 0) {
    out = {};
    return Ok;
  }
  std::string content;
  if (ref.length <= leader) {
    content.assign(reinterpret_cast<const char*>(p), ref.length);
  } else {
    if (Result r = openBlobFile(false)) return r;
    if (Result r = blobs_->read(ref, content)) return r;
  }
  const std::size_t prefix = PrefixLength(f.code);
  if (prefix) {
    if (content.size() < prefix)
      return Fail(ErrCorruptBlob, path_ + ": field " + f.name + " holds a damaged BLOB prefix");
    content.erase(0, prefix);
  }
  if (f.code == fcMemo)
    out = codec_->toUtf8(content);
  else
    out = BlobValue{std::move(content)};
  return Ok;
}

Result ParadoxTable::fieldValue(const std::uint8_t* rec, int field, Value& out) {
  const PxField& f = header_.fields.at(field);
  if (IsBlobCode(f.code)) return readBlob(f, rec + f.offset, out);
  out = DecodeField(f, rec + f.offset, *codec_);
  return Ok;
}

Result ParadoxTable::readRecord(std::uint32_t index, std::vector<Value>& out) {
  const std::uint8_t* rec;
  if (Result r = record(index, rec)) return r;
  // BLOB reads may reuse the block copy of protected tables: keep our own.
  std::vector<std::uint8_t> copy(rec, rec + header_.recordSize());
  out.resize(header_.fields.size());
  for (std::size_t i = 0; i < out.size(); ++i)
    if (!rights_.canRead(i))
      out[i] = Value{};  // not readable with the session's password
    else if (Result r = fieldValue(copy.data(), static_cast<int>(i), out[i]))
      return r;
  return Ok;
}

}  // namespace engine::paradox
