// A dBASE table and its production index (.MDX) together: the keys of a
// table's tags computed from its records, whole builds of the index over a
// table's records, and the changes of a table that rebuild or drop tags.
//
// The index is kept only when every tag is one this program can compute:
// a key expression KeyExpression parses, giving the tag's key type and
// length, and no FOR condition. A table whose index has another tag is
// read-only until that tag (or the whole index) is dropped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/dbase/dbheader.h"
#include "engine/dbase/mdx.h"
#include "engine/errors.h"
#include "engine/io/file.h"
#include "engine/records.h"

namespace engine::dbase {

// The production index beside a table (its name in any case); "" when there
// is none.
std::string ProductionIndexOf(const std::string& dbf);
// Where a table's production index goes when it has none yet.
std::string NewProductionIndexPath(const std::string& dbf);

std::vector<MdxField> MdxFieldsOf(const std::vector<DbfField>& fields);

// The key expressions of an index's tags over a table's fields.
class TableTags {
 public:
  // Parses every tag. `adopt` takes each tag's key type and length from its
  // expression (a new or rebuilt index); without it they must match what
  // the index says (an index that is kept). A tag that cannot be computed
  // fails with ErrNotSupported, "tag NAME: why"; `failed` receives its
  // position in `tags`.
  Result plan(const std::vector<MdxTagDef>& tags, const std::vector<DbfField>& fields, bool adopt,
              std::size_t* failed = nullptr);
  Result plan(const std::vector<MdxTag>& tags, const std::vector<DbfField>& fields, bool adopt,
              std::size_t* failed = nullptr) {
    return plan(std::vector<MdxTagDef>(tags.begin(), tags.end()), fields, adopt, failed);
  }

  const std::vector<MdxTagDef>& defs() const { return defs_; }
  std::size_t size() const { return exprs_.size(); }
  // The keys of one stored record (its bytes, the deletion flag first).
  Result keys(std::string_view record, std::uint32_t number, MdxRecordKeys& out) const;
  Result key(std::size_t tag, std::string_view record, std::string& out) const;

 private:
  std::vector<MdxTagDef> defs_;
  std::vector<KeyExpression> exprs_;
};

// The keys of every record of a .DBF file read from `file` (records from
// byte `start`, `count` of them, `recordLength` bytes each), deleted ones
// included, for WriteMdx.
class FileKeySource : public KeySource {
 public:
  FileKeySource(const io::File& file, std::uint64_t start, std::uint32_t count,
                std::size_t recordLength, const TableTags& tags)
      : file_(file), start_(start), count_(count), length_(recordLength), tags_(tags) {}
  Result next(MdxRecordKeys& keys, bool& end) override;

 private:
  const io::File& file_;
  std::uint64_t start_;
  std::uint32_t count_, at_ = 0, bufferFirst_ = 0, bufferCount_ = 0;
  std::size_t length_;
  const TableTags& tags_;
  std::vector<char> buffer_;
};

// Builds an index of `tags` over the records of the .DBF at `dbf` (a
// staged table nobody else has open) at `mdxPath`, and sets the table's
// production index flag. `dbfBaseName` goes into the index's header.
Result BuildTableIndex(const std::string& dbf, const std::string& dbfBaseName,
                       const TableTags& tags, const std::string& mdxPath);

// The fields that are a tag's whole key (for their index flags).
std::vector<std::string> KeyedFields(const std::vector<MdxTagDef>& tags,
                                     const std::vector<DbfField>& fields);

// The tags a table descriptor's indexes ask for: each names its tag in
// tagName (or name) and its key in keyExpression, or by its key fields
// (joined with +; UPPER() around them when case-insensitive). Primary
// indexes and subset conditions are refused.
Result TagsOfIndexDescs(const std::vector<IndexDesc>& indexes, const std::vector<DbfField>& fields,
                        std::vector<MdxTagDef>& out);

// Sets or clears a table's production index flag (header byte 28) and the
// index flags of its field descriptors: `keyed` names the fields that are
// a tag's whole key. Writes the file directly: for staged tables.
Result SetIndexFlags(const std::string& dbf, bool production, const std::vector<std::string>& keyed);

// Drops one tag of a table's production index (by its name) or, when `name`
// is the index's file name (T.MDX), the whole index. The remaining tags are
// rebuilt over the records; the last tag takes the index file with it and
// the table's production index flag is cleared. All of it is swapped in at
// once with the table's files.
Result DropIndexTag(const std::string& dbf, const std::string& name);

// Adds a tag to a table's production index (made when the table has none)
// from an index descriptor as TagsOfIndexDescs reads it. The index is
// rebuilt with every tag over the records, beside the table, and swapped in
// with it; a tag of the same name, or a key that does not compute, refuses.
Result AddIndexTag(const std::string& dbf, const IndexDesc& index);

// Restructures a dBASE table (RestructureDbaseTable) and rebuilds the tags
// of its production index over the new records. A renamed field takes its
// name into the key expressions of the tags; a tag whose key no longer
// computes (a field dropped, or changed to a type no key takes) refuses the
// restructure naming it, unless `desc.indexes` drops it (an entry with
// change code opDrop naming the tag in tagName or name).
Result RestructureDbaseTableWithIndex(const std::string& path, const TableDesc& desc,
                                      bool dryRun, RestructureReport* report = nullptr);

}  // namespace engine::dbase
