// Result codes of the engine and their messages.
//
// Every engine operation returns a 16-bit result code; 0 is success. The
// general text of a code comes from GetErrorString(); the operation that
// failed also leaves a detailed message (naming the file and what is wrong)
// that LastErrorMessage() returns until the next failure on the same thread.
#pragma once

#include <cstdint>
#include <string>

namespace engine {

using Result = std::uint16_t;

// Codes are grouped by category in the high byte.
enum ResultCode : Result {
  Ok = 0,

  // 0x01xx: files and the operating system
  ErrNotFound = 0x0101,         // table, file or directory does not exist
  ErrIo = 0x0102,               // read or write failed
  ErrAccessDenied = 0x0103,     // the operating system refused access
  ErrTableInUse = 0x0104,       // another process holds a conflicting lock
  ErrFileExists = 0x0105,       // a file to be created exists already

  // 0x02xx: damaged or unsupported files
  ErrCorruptHeader = 0x0201,
  ErrCorruptBlock = 0x0202,
  ErrCorruptBlob = 0x0203,
  ErrUnknownFieldType = 0x0204,
  ErrCorruptIndex = 0x0205,
  ErrUnsupportedVersion = 0x0206,
  ErrCorruptValidity = 0x0207,

  // 0x03xx: requests the engine cannot carry out
  ErrInvalidParameter = 0x0301,
  ErrInvalidFieldDesc = 0x0302,
  ErrInvalidHandle = 0x0303,
  ErrNotSupported = 0x0304,
  ErrReadOnly = 0x0305,
  ErrNoCurrentRecord = 0x0306,
  ErrInvalidFieldName = 0x0307,
  ErrInvalidValue = 0x0308,
  ErrInvalidIndex = 0x0309,
  ErrInvalidFilter = 0x030A,
  ErrTableFull = 0x030B,
  ErrQuerySyntax = 0x030C,     // an SQL or QBE text that does not parse
  ErrQueryCancelled = 0x030D,  // the progress callback stopped a query

  // 0x04xx: passwords and rights
  ErrPasswordRequired = 0x0401,
  ErrNoRights = 0x0402,

  // 0x05xx: integrity of the data
  ErrKeyViolation = 0x0501,
  ErrRequiredField = 0x0502,
  ErrBelowMinimum = 0x0503,
  ErrAboveMaximum = 0x0504,
  ErrPictureMismatch = 0x0505,
  ErrLookupMismatch = 0x0506,
  ErrMasterMissing = 0x0507,
  ErrDetailsExist = 0x0508,

  // 0x06xx: configuration
  ErrConfig = 0x0601,
  ErrUnknownAlias = 0x0602,
  ErrDuplicateAlias = 0x0603,
  ErrInvalidAliasName = 0x0604,

  // Codes that callers test by value keep these numbers.
  ErrBeginOfList = 0x2201,
  ErrEndOfList = 0x2202,          // 8706
  ErrDestinationExists = 0x3301,  // 13057
  ErrAnswerTableExists = 0x3304,  // 13060
};

// General text of a result code ("" for Ok).
std::string GetErrorString(Result code);

// Records a failure with a detailed message and returns the code, so that
// operations can write `return Fail(ErrCorruptHeader, path + ": ...");`.
Result Fail(Result code, const std::string& detail);

// The detailed message of the last failure on this thread; the general text
// of the code when no detail was given.
std::string LastErrorMessage();
Result LastErrorCode();
void ClearLastError();

}  // namespace engine
