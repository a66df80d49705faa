#include "engine/dbase/dbindex.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <memory>

#include "engine/dbase/dbconvert.h"
#include "engine/dbase/dbtable.h"
#include "engine/io/lock.h"
#include "engine/paradox/pxfamily.h"
#include "engine/paradox/pxtable.h"

namespace engine::dbase {

namespace {

constexpr std::size_t kReadBytes = 64 * 1024;

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string StemOf(const std::string& path) {
  const std::string file = BaseName(path);
  const std::size_t dot = file.find_last_of('.');
  return dot == std::string::npos ? file : file.substr(0, dot);
}

std::string Tagged(const MdxTagDef& tag, const std::string& why) {
  return "tag " + tag.name + ": " + why;
}

bool NameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

// The expression with field names renamed (old upper-case name -> new
// name); names followed by "(" are functions and stay.
std::string RenameFields(const std::string& expr, const std::map<std::string, std::string>& renames) {
  std::string out;
  for (std::size_t i = 0; i < expr.size();) {
    if (!NameChar(expr[i])) {
      out += expr[i++];
      continue;
    }
    std::size_t end = i;
    while (end < expr.size() && NameChar(expr[end])) ++end;
    const std::string word = expr.substr(i, end - i);
    std::size_t after = end;
    while (after < expr.size() && expr[after] == ' ') ++after;
    const auto renamed = renames.find(Upper(word));
    const bool function = after < expr.size() && expr[after] == '(';
    out += renamed != renames.end() && !function ? renamed->second : word;
    i = end;
  }
  return out;
}

Result CopyFile(const std::string& from, const std::string& to) {
  io::File in, out;
  if (Result r = in.open(from, io::File::Mode::Read)) return r;
  if (Result r = out.open(to, io::File::Mode::Create)) return r;
  std::uint64_t size = 0;
  if (Result r = in.size(size)) return r;
  std::vector<char> buffer(1u << 20);
  for (std::uint64_t at = 0; at < size;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - at));
    if (Result r = in.read(at, buffer.data(), n)) return r;
    if (Result r = out.write(at, buffer.data(), n)) return r;
    at += n;
  }
  return Ok;
}

}  // namespace

std::vector<std::string> KeyedFields(const std::vector<MdxTagDef>& tags,
                                     const std::vector<DbfField>& fields) {
  std::vector<std::string> out;
  for (const MdxTagDef& t : tags) {
    std::string e = t.keyExpression;
    e.erase(0, e.find_first_not_of(' '));
    while (!e.empty() && e.back() == ' ') e.pop_back();
    for (const DbfField& f : fields)
      if (Upper(f.name) == Upper(e)) out.push_back(f.name);
  }
  return out;
}

namespace {

// The fields a restructure descriptor asks for, as far as key expressions
// need them (names, types, lengths), and the renamed ones (old upper-case
// name -> new name). The restructure itself decides; this only lets tags be
// checked before any work.
void PredictFields(const DbaseTable& t, const TableDesc& desc, std::vector<DbfField>& out,
                   std::map<std::string, std::string>& renames) {
  out.clear();
  renames.clear();
  if (desc.fields.empty()) {
    out = t.fields();
    return;
  }
  const std::vector<FieldDesc> old = t.fieldDescs();
  auto letter = [](std::uint16_t type) {
    switch (type) {
      case dbChar: return 'C';
      case dbNumber: return 'N';
      case dbFloat: return 'F';
      case dbDate: return 'D';
      default: return '?';  // no key takes it
    }
  };
  for (std::size_t i = 0; i < desc.fields.size(); ++i) {
    const FieldDesc& f = desc.fields[i];
    const std::int32_t op = i < desc.fieldOps.size() ? desc.fieldOps[i] : f.number ? opCopy : opAdd;
    if (op == opDrop) continue;
    DbfField nf;
    if (op == opAdd || f.number < 1 || f.number > old.size()) {
      nf.name = f.name;
      nf.type = letter(f.type);
      nf.length = static_cast<std::uint16_t>(std::max(0, static_cast<int>(f.units1)));
      nf.decimals = static_cast<std::uint8_t>(std::max(0, static_cast<int>(f.units2)));
    } else {
      const DbfField& was = t.fields()[f.number - 1u];
      nf.name = f.name.empty() ? was.name : f.name;
      const bool sameType = f.type == 0 || f.type == old[f.number - 1u].type;
      nf.type = f.type == 0 ? was.type : letter(f.type);
      if (sameType && f.units1 == 0) {
        nf.length = was.length;
        nf.decimals = was.decimals;
      } else {
        nf.length = static_cast<std::uint16_t>(std::max(0, static_cast<int>(f.units1)));
        nf.decimals = static_cast<std::uint8_t>(std::max(0, static_cast<int>(f.units2)));
      }
      if (Upper(nf.name) != Upper(was.name)) renames[Upper(was.name)] = nf.name;
    }
    out.push_back(std::move(nf));
  }
}

}  // namespace

std::string ProductionIndexOf(const std::string& dbf) {
  const std::string mdx = paradox::FamilyPath(dbf, ".MDX");
  return io::FileExists(mdx) ? mdx : std::string();
}

std::string NewProductionIndexPath(const std::string& dbf) {
  const std::size_t slash = dbf.find_last_of('/');
  const std::string dir = slash == std::string::npos ? std::string() : dbf.substr(0, slash + 1);
  return dir + StemOf(dbf) + ".MDX";
}

std::vector<MdxField> MdxFieldsOf(const std::vector<DbfField>& fields) {
  std::vector<MdxField> out;
  for (const DbfField& f : fields)
    out.push_back({f.name, f.type, f.length, f.decimals, f.offset});
  return out;
}

Result TagsOfIndexDescs(const std::vector<IndexDesc>& indexes, const std::vector<DbfField>& fields,
                        std::vector<MdxTagDef>& out) {
  out.clear();
  for (const IndexDesc& ix : indexes) {
    MdxTagDef def;
    def.name = Upper(ix.tagName.empty() ? ix.name : ix.tagName);
    const std::string named = "tag " + (def.name.empty() ? std::string("(no name)") : def.name);
    if (ix.primary)
      return Fail(ErrInvalidParameter, named + ": a dBASE table has no primary key");
    if (ix.subset || !ix.subsetCondition.empty())
      return Fail(ErrNotSupported, named + ": tags with a FOR condition are not supported");
    def.keyExpression = ix.keyExpression;
    if (def.keyExpression.empty()) {
      for (std::size_t k = 0; k < ix.fieldsInKey && k < ix.keyFields.size(); ++k) {
        const std::uint16_t n = ix.keyFields[k];
        if (n < 1 || n > fields.size())
          return Fail(ErrInvalidParameter, named + ": the table has no field " + std::to_string(n));
        if (!def.keyExpression.empty()) def.keyExpression += "+";
        def.keyExpression += fields[n - 1u].name;
      }
      if (def.keyExpression.empty())
        return Fail(ErrInvalidParameter, named + ": a tag needs a key expression or key fields");
    }
    if (ix.caseInsensitive) def.keyExpression = "UPPER(" + def.keyExpression + ")";
    def.unique = ix.unique != 0;
    def.descending = ix.descending != 0;
    out.push_back(std::move(def));
  }
  return Ok;
}

Result TableTags::plan(const std::vector<MdxTagDef>& tags, const std::vector<DbfField>& fields,
                       bool adopt, std::size_t* failed) {
  defs_.clear();
  exprs_.clear();
  const std::vector<MdxField> mf = MdxFieldsOf(fields);
  for (std::size_t i = 0; i < tags.size(); ++i) {
    if (failed) *failed = i;
    MdxTagDef def = tags[i];
    if (!def.forExpression.empty())
      return Fail(ErrNotSupported, Tagged(def, "its FOR condition \"" + def.forExpression +
                                                   "\" is not one this program evaluates"));
    KeyExpression e;
    if (KeyExpression::Parse(def.keyExpression, mf, e) != Ok) {
      const std::string why = LastErrorMessage();
      return Fail(ErrNotSupported, Tagged(def, why));
    }
    if (adopt) {
      def.keyType = e.keyType();
      def.keyLength = e.keyLength();
    } else if (def.keyType != e.keyType() || def.keyLength != e.keyLength()) {
      return Fail(ErrNotSupported,
                  Tagged(def, std::string("its key expression \"") + def.keyExpression + "\" gives " +
                                  e.keyType() + " keys of " + std::to_string(e.keyLength()) +
                                  " bytes, but the index holds " + def.keyType + " keys of " +
                                  std::to_string(def.keyLength)));
    }
    defs_.push_back(std::move(def));
    exprs_.push_back(std::move(e));
  }
  return Ok;
}

Result TableTags::key(std::size_t tag, std::string_view record, std::string& out) const {
  if (exprs_[tag].evaluate(record, out) != Ok)
    return Fail(ErrInvalidValue, Tagged(defs_[tag], LastErrorMessage()));
  return Ok;
}

Result TableTags::keys(std::string_view record, std::uint32_t number, MdxRecordKeys& out) const {
  out.record = number;
  out.included.clear();
  out.keys.resize(exprs_.size());
  for (std::size_t t = 0; t < exprs_.size(); ++t)
    if (Result r = key(t, record, out.keys[t]))
      return Fail(r, "record " + std::to_string(number) + ": " + LastErrorMessage());
  return Ok;
}

Result FileKeySource::next(MdxRecordKeys& keys, bool& end) {
  end = at_ >= count_;
  if (end) return Ok;
  if (at_ >= bufferFirst_ + bufferCount_) {
    const std::uint32_t n = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(std::max<std::size_t>(1, kReadBytes / length_), count_ - at_));
    buffer_.resize(std::size_t{n} * length_);
    if (Result r = file_.read(start_ + std::uint64_t{at_} * length_, buffer_.data(), buffer_.size()))
      return r;
    bufferFirst_ = at_;
    bufferCount_ = n;
  }
  const std::string_view record(buffer_.data() + std::size_t{at_ - bufferFirst_} * length_, length_);
  ++at_;
  return tags_.keys(record, at_, keys);
}

Result SetIndexFlags(const std::string& dbf, bool production, const std::vector<std::string>& keyed) {
  io::File file;
  if (Result r = file.open(dbf, io::File::Mode::ReadWrite)) return r;
  std::uint64_t size = 0;
  if (Result r = file.size(size)) return r;
  std::vector<std::uint8_t> head(
      static_cast<std::size_t>(std::min<std::uint64_t>(size, DbfHeader::kMaxLength)));
  if (Result r = file.read(0, head.data(), head.size())) return r;
  DbfHeader h;
  if (Result r = h.parse(dbf, head, size)) return r;
  const text::LanguageDriver* driver = nullptr;
  h.decodeNames(text::SharedCodec(CodePageOf(h, driver)));
  h.raw[28] = production ? 1 : 0;
  for (const DbfField& f : h.fields) {
    const std::size_t flag = f.descriptor + (h.level == 7 ? 37 : 31);
    if (flag >= h.raw.size()) continue;
    const bool on = production && std::any_of(keyed.begin(), keyed.end(), [&](const std::string& k) {
                      return Upper(k) == Upper(f.name);
                    });
    h.raw[flag] = on ? 1 : 0;
  }
  return file.write(0, h.raw.data(), h.raw.size());
}

Result BuildTableIndex(const std::string& dbf, const std::string& dbfBaseName,
                       const TableTags& tags, const std::string& mdxPath) {
  OpenOptions options;
  options.exclusive = true;
  std::unique_ptr<DbaseTable> t;
  if (Result r = DbaseTable::Open(dbf, options, t)) return r;
  io::File file;
  if (Result r = file.open(dbf, io::File::Mode::Read)) return r;
  FileKeySource source(file, t->headerLength(), t->recordCount(), t->recordLength(), tags);
  if (Result r = WriteMdx(mdxPath, dbfBaseName, tags.defs(), source)) return r;
  const std::vector<std::string> keyed = KeyedFields(tags.defs(), t->fields());
  t.reset();
  return SetIndexFlags(dbf, true, keyed);
}

Result DropIndexTag(const std::string& path, const std::string& name) {
  OpenOptions options;
  options.writable = options.exclusive = true;
  std::unique_ptr<DbaseTable> t;
  if (Result r = DbaseTable::Open(path, options, t)) return r;
  std::string why;
  if (!t->canWrite(why) && why != t->indexProblem()) return Fail(ErrReadOnly, why);
  const std::string table = BaseName(t->path());
  const std::string mdx = ProductionIndexOf(t->path());
  const std::string mdxName = mdx.empty() ? StemOf(t->path()) + ".MDX" : BaseName(mdx);
  if (!t->hasProductionIndex())
    return Fail(ErrNotFound, table + " has no production index");

  if (Upper(name) == Upper(mdxName)) {
    // The whole index: the flag goes first, so that a crash in between
    // leaves an index file that nothing announces.
    if (Result r = t->clearProductionIndex()) return r;
    if (!mdx.empty() && ::unlink(mdx.c_str()) != 0) return io::OsFailure(mdx, "removing the index");
    return Ok;
  }

  MdxFile index;
  if (mdx.empty())
    return Fail(ErrNotFound, table + ": its production index " + mdxName + " is missing");
  if (Result r = ReadMdx(mdx, index))
    return Fail(r, LastErrorMessage() + "; the index can only be dropped whole (" + mdxName + ")");
  std::vector<MdxTagDef> rest;
  bool found = false;
  for (const MdxTag& tag : index.tags) {
    if (Upper(tag.name) == Upper(name))
      found = true;
    else
      rest.push_back(tag);
  }
  if (!found) return Fail(ErrNotFound, mdxName + " has no tag " + name);
  if (rest.empty()) {
    if (Result r = t->clearProductionIndex()) return r;
    if (::unlink(mdx.c_str()) != 0) return io::OsFailure(mdx, "removing the index");
    return Ok;
  }
  TableTags tags;
  if (tags.plan(rest, t->fields(), false) != Ok)
    return Fail(ErrNotSupported, table + ": " + LastErrorMessage() +
                                     "; the other tags are rebuilt when one is dropped, so drop "
                                     "that one as well");
  const std::string staged = mdx + ".new~";
  io::File file;
  if (Result r = file.open(t->path(), io::File::Mode::Read)) return r;
  FileKeySource source(file, t->headerLength(), t->recordCount(), t->recordLength(), tags);
  if (Result r = WriteMdx(staged, StemOf(t->path()), tags.defs(), source)) return r;
  Result r = io::ReplaceFiles({{staged, mdx}}, PlanPathOf(t->path()));
  if (r) {
    const std::string message = LastErrorMessage();
    ::unlink(staged.c_str());
    return Fail(r, message);
  }
  return Ok;
}

Result AddIndexTag(const std::string& path, const IndexDesc& index) {
  OpenOptions options;
  options.writable = options.exclusive = true;
  std::unique_ptr<DbaseTable> t;
  if (Result r = DbaseTable::Open(path, options, t)) return r;
  std::string why;
  if (!t->canWrite(why)) return Fail(ErrReadOnly, why);
  const std::string table = BaseName(t->path());
  if (t->level() == 3)
    return Fail(ErrNotSupported, table + ": a level 3 table has no production index");
  std::string mdx = ProductionIndexOf(t->path());
  std::vector<MdxTagDef> defs;
  if (t->hasProductionIndex()) {
    MdxFile old;
    if (mdx.empty()) return Fail(ErrNotFound, table + ": its production index is missing");
    if (Result r = ReadMdx(mdx, old)) return r;
    defs.assign(old.tags.begin(), old.tags.end());
  } else {
    mdx = NewProductionIndexPath(t->path());
  }
  std::vector<MdxTagDef> added;
  if (Result r = TagsOfIndexDescs({index}, t->fields(), added))
    return Fail(r, table + ": " + LastErrorMessage());
  for (const MdxTagDef& def : defs)
    for (const MdxTagDef& more : added)
      if (Upper(def.name) == Upper(more.name))
        return Fail(ErrNotSupported, table + " has a tag " + def.name + " already");
  defs.insert(defs.end(), added.begin(), added.end());
  TableTags tags;
  if (tags.plan(defs, t->fields(), true) != Ok)
    return Fail(ErrNotSupported, table + ": " + LastErrorMessage());

  // The index is built over a copy of the table, whose header takes the
  // index flags; both are swapped in together.
  return io::InWorkDirectory(t->path(), [&](const std::string& work) -> Result {
    const std::string copy = work + "/" + table;
    if (Result r = CopyFile(t->path(), copy)) return r;
    const std::string newMdx = work + "/" + BaseName(mdx);
    if (Result r = BuildTableIndex(copy, StemOf(table), tags, newMdx)) return r;
    if (Result r = SetIndexFlags(copy, true, KeyedFields(tags.defs(), t->fields()))) return r;
    return io::ReplaceFiles({{newMdx, mdx}, {copy, t->path()}}, PlanPathOf(t->path()));
  });
}

Result RestructureDbaseTableWithIndex(const std::string& path, const TableDesc& desc, bool dryRun,
                                      RestructureReport* report) {
  std::string dbf = path;
  std::unique_ptr<DbaseTable> t;
  {
    OpenOptions o;
    o.writable = o.exclusive = true;
    if (DbaseTable::Open(dbf, o, t) != Ok || !t->hasProductionIndex()) {
      // Not indexed (or not openable: the restructure says why).
      ClearLastError();
      t.reset();
      return RestructureDbaseTable(path, desc, dryRun, report);
    }
  }
  std::string why;
  if (!t->canWrite(why) && why != t->indexProblem()) return Fail(ErrReadOnly, why);
  const std::string table = BaseName(t->path());
  const std::string mdx = ProductionIndexOf(t->path());
  if (mdx.empty()) return Fail(ErrReadOnly, why);
  MdxFile index;
  if (Result r = ReadMdx(mdx, index))
    return Fail(r, LastErrorMessage() + "; the restructure would lose its tags");

  // Tags the descriptor drops go; every other one must compute over the new
  // fields (a renamed field renamed in its expression).
  TableDesc plain = desc;
  plain.indexes.clear();
  plain.indexOps.clear();
  std::vector<std::string> dropped;
  for (std::size_t i = 0; i < desc.indexes.size(); ++i) {
    const IndexDesc& ix = desc.indexes[i];
    const std::int32_t op = i < desc.indexOps.size() ? desc.indexOps[i] : opAdd;
    const std::string named = ix.tagName.empty() ? ix.name : ix.tagName;
    if (op != opDrop || !index.findTag(named))
      return Fail(ErrNotSupported,
                  t->path() + ": a dBASE restructure only drops tags of the production index "
                              "(\"" + named + "\" is not one to drop)");
    dropped.push_back(Upper(named));
  }
  std::vector<DbfField> predicted;
  std::map<std::string, std::string> renames;
  PredictFields(*t, desc, predicted, renames);
  std::vector<MdxTagDef> kept;
  for (const MdxTag& tag : index.tags) {
    if (std::find(dropped.begin(), dropped.end(), Upper(tag.name)) != dropped.end()) continue;
    MdxTagDef def = tag;
    def.keyExpression = RenameFields(def.keyExpression, renames);
    kept.push_back(std::move(def));
  }
  const std::string refusal =
      "; the restructure would lose it, so it is refused (drop the tag, in the restructure or "
      "before it, to go on)";
  // Offsets do not matter for parsing: predicted fields only show whether
  // each key still computes.
  TableTags check;
  if (!kept.empty() && check.plan(kept, predicted, true) != Ok)
    return Fail(ErrNotSupported, table + ": " + LastErrorMessage() + refusal);

  // The table is copied into the work directory without its index and
  // restructured there; the new index is built over the result, and the
  // files are swapped in together.
  return io::InWorkDirectory(t->path(), [&](const std::string& work) -> Result {
    const std::string copy = work + "/" + table;
    if (Result r = CopyFile(t->path(), copy)) return r;
    const std::string oldMemo = paradox::FamilyPath(t->path(), ".DBT");
    const std::string copyMemo = work + "/" + StemOf(table) + ".DBT";
    if (io::FileExists(oldMemo))
      if (Result r = CopyFile(oldMemo, copyMemo)) return r;
    if (Result r = SetIndexFlags(copy, false, {})) return r;
    if (Result r = RestructureDbaseTable(copy, plain, dryRun, report)) {
      const std::string message = LastErrorMessage();
      std::string text = message;
      for (std::size_t at; (at = text.find(copy)) != std::string::npos;)
        text.replace(at, copy.size(), t->path());
      return Fail(r, text);
    }
    if (dryRun) return Result{Ok};
    std::vector<io::Replacement> swap;
    if (io::FileExists(copyMemo))
      swap.push_back({copyMemo, oldMemo});
    else if (io::FileExists(oldMemo))
      swap.push_back({"", oldMemo});
    if (kept.empty()) {
      swap.push_back({"", mdx});
    } else {
      std::unique_ptr<DbaseTable> fresh;
      if (Result r = DbaseTable::Open(copy, {}, fresh)) return r;
      const std::vector<DbfField> fields = fresh->fields();
      fresh.reset();
      TableTags tags;
      if (tags.plan(kept, fields, true) != Ok)
        return Fail(ErrNotSupported, table + ": " + LastErrorMessage() + refusal);
      const std::string newMdx = work + "/" + BaseName(mdx);
      if (Result r = BuildTableIndex(copy, StemOf(table), tags, newMdx)) return r;
      swap.push_back({newMdx, mdx});
    }
    swap.push_back({copy, t->path()});
    return io::ReplaceFiles(swap, PlanPathOf(t->path()));
  });
}

}  // namespace engine::dbase
