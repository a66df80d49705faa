#include "engine/batchmove.h"

#include <sys/stat.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <memory>
#include <vector>

#include "engine/config/config.h"
#include "engine/family.h"
#include "engine/handles.h"
#include "engine/io/file.h"
#include "engine/io/path.h"
#include "engine/paradox/pxcreate.h"
#include "engine/paradox/pxfamily.h"
#include "engine/paradox/pxconvert.h"
#include "engine/paradox/pxtable.h"
#include "engine/typenames.h"

namespace engine {

namespace {

using paradox::ParadoxTable;

// A side of the move: the table's path and the passwords to try on it.
struct Side {
  std::string path;
  std::vector<std::string> passwords;
};

Result Resolve(const BatchTableDesc& desc, const char* role, Side& out) {
  std::string directory;
  if (Result r = GetDatabaseDirectory(desc.db, directory)) return r;
  if (desc.tableName.empty())
    return Fail(ErrInvalidParameter, std::string("The ") + role + " table of the move is not named.");
  out.path = TablePath(directory, desc.tableName);
  const std::string file = BaseName(out.path);
  const std::size_t dot = file.find_last_of('.');
  const std::string ext = dot == std::string::npos ? "" : Upper(file.substr(dot + 1));
  const std::string type = Upper(desc.tableType);
  if ((type.empty() && ext == "DBF") || (!type.empty() && type != "PARADOX"))
    return Fail(ErrNotSupported, out.path + ": only Paradox tables can be moved so far");
  out.passwords = SessionPasswords();
  if (!desc.password.empty()) out.passwords.push_back(desc.password);
  return Ok;
}

Result CheckMode(std::int32_t mode) {
  if (mode >= batAppend && mode <= batCopy) return Ok;
  return Fail(ErrInvalidParameter, "Batch move mode " + std::to_string(mode) +
                                       " is not one of 0 (append), 1 (update), 2 (append and "
                                       "update), 3 (subtract) and 4 (copy).");
}

using io::SameFile;

Result Open(const Side& side, bool writable, std::unique_ptr<ParadoxTable>& out) {
  paradox::OpenOptions options;
  options.writable = writable;
  options.passwords = side.passwords;
  if (Result r = ParadoxTable::Open(side.path, options, out)) return r;
  return writable ? AttachParticipants(*out) : Result{Ok};
}

// Field names compared without regard to letter case (Unicode case folding).
bool SameName(const std::string& a, const std::string& b) {
  std::int32_t i = 0, j = 0;
  const auto* p = reinterpret_cast<const std::uint8_t*>(a.data());
  const auto* q = reinterpret_cast<const std::uint8_t*>(b.data());
  const auto m = static_cast<std::int32_t>(a.size()), n = static_cast<std::int32_t>(b.size());
  while (i < m && j < n) {
    UChar32 c, d;
    U8_NEXT(p, i, m, c);
    U8_NEXT(q, j, n, d);
    if (u_foldCase(c, U_FOLD_CASE_DEFAULT) != u_foldCase(d, U_FOLD_CASE_DEFAULT)) return false;
  }
  return i == m && j == n;
}

// For each destination field, the source field that fills it (-1: none).
std::vector<int> MatchFields(const std::vector<FieldDesc>& from, const std::vector<FieldDesc>& to) {
  std::vector<int> match(to.size(), -1);
  bool any = false;
  for (std::size_t j = 0; j < to.size(); ++j)
    for (std::size_t i = 0; i < from.size() && match[j] < 0; ++i)
      if (SameName(from[i].name, to[j].name)) {
        match[j] = static_cast<int>(i);
        any = true;
      }
  if (!any)
    for (std::size_t j = 0; j < to.size() && j < from.size(); ++j) match[j] = static_cast<int>(j);
  return match;
}

// A source value for a destination field; false, with the reason in
// `problem`, when it cannot go there.
bool CarryValue(const FieldDesc& from, const FieldDesc& to, const Value& in, Value& out,
                std::string& problem) {
  if (from.type == to.type || IsNull(in)) {
    out = in;
    return true;
  }
  // Another type is converted; a value that would lose anything on the way
  // (text cut, decimals rounded) is refused as one that does not convert.
  std::string note;
  if (paradox::ConvertValue(from, to, in, out, note) == paradox::Conversion::Same) return true;
  problem = note;
  return false;
}

// The records of the source, read one at a time, as rows of the
// destination's fields. Labels are record numbers.
class SourceRows : public RowSource {
 public:
  SourceRows(ParadoxTable& table, std::vector<FieldDesc> from, std::vector<FieldDesc> to,
             std::vector<int> match)
      : table_(table),
        from_(std::move(from)),
        to_(std::move(to)),
        match_(std::move(match)),
        count_(table.recordCount()),
        stamp_(Stamp()) {}

  Result next(std::vector<Value>& values, std::uint64_t& label, bool& end) override {
    end = at_ == count_;
    if (end) {
      // Writers of the source share its lock: what they changed meanwhile
      // may have been read in part.
      if (Stamp() != stamp_)
        return Fail(ErrTableInUse, "Table is in use: " + table_.path() +
                                       " (it changed while its records were moved)");
      return Ok;
    }
    label = ++at_;
    if (Result r = table_.readRecord(static_cast<std::uint32_t>(label - 1), record_))
      return Fail(r, name(label) + ": " + LastErrorMessage());
    values.assign(to_.size(), Value{});
    for (std::size_t j = 0; j < to_.size(); ++j) {
      if (match_[j] < 0) continue;
      const auto i = static_cast<std::size_t>(match_[j]);
      std::string problem;
      if (!CarryValue(from_[i], to_[j], record_[i], values[j], problem))
        return Fail(ErrInvalidValue, name(label) + ": field " + FieldNames(i, j) + ": " + problem);
    }
    return Ok;
  }

  std::string name(std::uint64_t label) const override {
    return table_.path() + " record " + std::to_string(label);
  }

 private:
  std::string FieldNames(std::size_t i, std::size_t j) const {
    if (from_[i].name == to_[j].name) return from_[i].name;
    return from_[i].name + " (" + to_[j].name + " in the destination)";
  }

  // When and how the source's file was last changed.
  std::string Stamp() const {
    struct stat st {};
    if (::stat(table_.path().c_str(), &st) != 0) return {};
    return std::to_string(st.st_ino) + " " + std::to_string(st.st_size) + " " +
           std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + " " +
           std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec);
  }

  ParadoxTable& table_;
  const std::vector<FieldDesc> from_, to_;
  const std::vector<int> match_;
  const std::uint32_t count_;
  const std::string stamp_;
  std::uint32_t at_ = 0;
  std::vector<Value> record_;
};

Result CopyWhole(const Side& from, const Side& to, std::uint32_t& moved) {
  std::vector<std::string> passwords = from.passwords;
  passwords.insert(passwords.end(), to.passwords.begin(), to.passwords.end());
  if (Result r = paradox::CopyParadoxTable(from.path, to.path, true, passwords)) return r;
  paradox::PxHeader copied;
  if (Result r = paradox::ReadFileHeader(paradox::FamilyPath(to.path, ".DB"), copied)) return r;
  moved = copied.recordCount();
  return Ok;
}

paradox::RowChange ChangeOf(std::int32_t mode) {
  switch (mode) {
    case batUpdate: return paradox::RowChange::Update;
    case batAppendUpdate: return paradox::RowChange::InsertOrUpdate;
    case batSubtract: return paradox::RowChange::Remove;
    default: return paradox::RowChange::Insert;
  }
}

}  // namespace

Result BatchMove(const BatchTableDesc& source, const BatchTableDesc& destination,
                 std::int32_t mode, std::uint32_t& moved) {
  moved = 0;
  if (Result r = CheckMode(mode)) return r;
  Side from, to;
  if (Result r = Resolve(source, "source", from)) return r;
  if (Result r = Resolve(destination, "destination", to)) return r;
  if (from.path == to.path || SameFile(from.path, to.path))
    return Fail(ErrInvalidParameter,
                to.path + ": the source and the destination of a move are the same table");
  if (mode == batCopy) return CopyWhole(from, to, moved);

  std::unique_ptr<ParadoxTable> src, dest;
  if (Result r = Open(from, false, src)) return r;
  if (Result r = Open(to, true, dest)) return r;
  if (mode != batAppend && !dest->header().isKeyed())
    return Fail(ErrInvalidIndex, to.path + ": Destination table is not indexed");
  std::vector<FieldDesc> fromFields = FieldDescsOf(*src), toFields = FieldDescsOf(*dest);
  const std::vector<int> match = MatchFields(fromFields, toFields);
  std::vector<bool> given(toFields.size());
  for (std::size_t j = 0; j < toFields.size(); ++j) {
    given[j] = match[j] >= 0;
    // A field the password hides reads as blank: it would move as one.
    if (given[j] && !src->rights().canRead(static_cast<std::size_t>(match[j])))
      return Fail(ErrNoRights, from.path + ": field " + fromFields[match[j]].name +
                                   " cannot be read with this password");
  }
  if (mode != batAppend)
    for (int k = 0; k < dest->header().keyFieldCount(); ++k)
      if (!given[k])
        return Fail(ErrInvalidIndex, to.path + ": the key field " + toFields[k].name +
                                         " has no field of the source to match it");
  SourceRows rows(*src, std::move(fromFields), toFields, match);
  std::uint64_t changed = 0;
  if (Result r = dest->changeRows(rows, ChangeOf(mode), &given, &changed)) return r;
  moved = static_cast<std::uint32_t>(changed);
  return Ok;
}

Result CreateBatchDestination(const BatchTableDesc& source, const BatchTableDesc& destination,
                              std::int32_t mode) {
  if (Result r = CheckMode(mode)) return r;
  Side from, to;
  if (Result r = Resolve(source, "source", from)) return r;
  if (Result r = Resolve(destination, "destination", to)) return r;
  if (io::FileExists(to.path))
    return Fail(ErrDestinationExists, to.path + ": the destination table exists already");
  std::unique_ptr<ParadoxTable> src;
  if (Result r = Open(from, false, src)) return r;
  const paradox::PxHeader& h = src->header();
  TableDesc desc;
  desc.tableName = to.path;
  desc.fields = FieldDescsOf(*src);
  if (mode != batAppend && h.isKeyed()) {
    IndexDesc primary;
    primary.primary = primary.unique = primary.maintained = 1;
    primary.fieldsInKey = h.keyFieldCount();
    for (int i = 0; i < h.keyFieldCount(); ++i)
      primary.keyFields[i] = static_cast<std::uint16_t>(i + 1);
    desc.indexes.push_back(primary);
  }
  desc.optionalParams.push_back({"LEVEL", std::to_string(h.level())});
  desc.optionalParams.push_back({"BLOCK SIZE", std::to_string(h.blockSize())});
  if (src->driver()) desc.optionalParams.push_back({"LANGDRIVER", src->driver()->name});
  src.reset();
  paradox::CreateDefaults defaults;
  if (Result r = GetCreateDefaults(defaults)) return r;
  return paradox::CreateParadoxTable(desc, false, defaults);
}

MoveOutcome MoveTable(const BatchTableDesc& source, const BatchTableDesc& destination,
                      std::int32_t mode) {
  MoveOutcome outcome;
  if (mode != batCopy) {
    const Result r = CreateBatchDestination(source, destination, mode);
    if (r != Ok && r != ErrDestinationExists) {
      outcome.result = r;
      outcome.message = LastErrorMessage();
      return outcome;
    }
    outcome.created = r == Ok;
  }
  if (Result r = BatchMove(source, destination, mode, outcome.moved)) {
    outcome.result = r;
    outcome.message = LastErrorMessage();  // before the delete can replace it
    if (outcome.created) DeleteTable(destination.db, destination.tableName, "");
    outcome.created = false;
  }
  return outcome;
}

}  // namespace engine
