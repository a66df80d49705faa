#include "engine/errors.h"

#include <map>

namespace engine {

namespace {

const std::map<Result, const char*>& Texts() {
  static const std::map<Result, const char*> texts = {
      {ErrNotFound, "File or directory does not exist."},
      {ErrIo, "Read or write failed."},
      {ErrAccessDenied, "Access to the file was denied."},
      {ErrTableInUse, "Table is in use."},
      {ErrFileExists, "File already exists."},
      {ErrCorruptHeader, "Corrupt table header."},
      {ErrCorruptBlock, "Corrupt data block."},
      {ErrCorruptBlob, "Corrupt BLOB file."},
      {ErrUnknownFieldType, "Unknown field type."},
      {ErrCorruptIndex, "Corrupt index file."},
      {ErrUnsupportedVersion, "Unsupported file version."},
      {ErrCorruptValidity, "Corrupt validity check file."},
      {ErrInvalidParameter, "Invalid parameter."},
      {ErrInvalidFieldDesc, "Invalid field descriptor."},
      {ErrInvalidHandle, "Invalid handle."},
      {ErrNotSupported, "Capability not supported."},
      {ErrReadOnly, "Table is read only."},
      {ErrNoCurrentRecord, "No current record."},
      {ErrInvalidFieldName, "Invalid field name."},
      {ErrInvalidValue, "Invalid field value."},
      {ErrInvalidIndex, "Index does not exist."},
      {ErrInvalidFilter, "Invalid filter expression."},
      {ErrTableFull, "Table is full."},
      {ErrQuerySyntax, "Invalid query syntax."},
      {ErrQueryCancelled, "Query cancelled."},
      {ErrPasswordRequired, "Invalid password."},
      {ErrNoRights, "Insufficient rights for this operation."},
      {ErrKeyViolation, "Key violation."},
      {ErrRequiredField, "Field value required."},
      {ErrBelowMinimum, "Field value below minimum."},
      {ErrAboveMaximum, "Field value above maximum."},
      {ErrPictureMismatch, "Field value does not match its picture."},
      {ErrLookupMismatch, "Field value not found in the lookup table."},
      {ErrMasterMissing, "Master record missing."},
      {ErrDetailsExist, "Master has detail records; cannot delete or modify."},
      {ErrConfig, "Invalid configuration file."},
      {ErrUnknownAlias, "Unknown database alias."},
      {ErrDuplicateAlias, "Alias already exists."},
      {ErrInvalidAliasName, "Invalid alias name."},
      {ErrBeginOfList, "At beginning of table."},
      {ErrEndOfList, "At end of table."},
      {ErrDestinationExists, "Destination table already exists."},
      {ErrAnswerTableExists, "Answer table already exists."},
  };
  return texts;
}

thread_local Result lastCode = Ok;
thread_local std::string lastDetail;

}  // namespace

std::string GetErrorString(Result code) {
  if (code == Ok) return {};
  auto it = Texts().find(code);
  if (it != Texts().end()) return it->second;
  return "Engine error " + std::to_string(code) + ".";
}

Result Fail(Result code, const std::string& detail) {
  lastCode = code;
  lastDetail = detail;
  return code;
}

std::string LastErrorMessage() {
  if (!lastDetail.empty()) return lastDetail;
  return GetErrorString(lastCode);
}

Result LastErrorCode() { return lastCode; }

void ClearLastError() {
  lastCode = Ok;
  lastDetail.clear();
}

}  // namespace engine
