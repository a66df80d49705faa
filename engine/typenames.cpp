#include "engine/typenames.h"

namespace engine {

std::string FieldTypeName(std::uint16_t t) {
  static const char* const paradox[] = {
      "ALPHA",   "NUMBER",  "MONEY",   "DATE",      "SHORT",   "MEMO",
      "BINARY",  "FORMATTED MEMO",     "OLE",       "GRAPHIC", "LONGINT",
      "TIME",    "TIMESTAMP",          "LOGICAL",   "AUTOINC", "BYTES",  "BCD"};
  static const char* const dbase[] = {"CHARACTER", "NUMBER",  "MEMO",      "LOGICAL",
                                      "DATE",      "FLOAT",   "DBASELOCK", "OLE",
                                      "BINARY",    "LONG",    "AUTOINC",   "TIMESTAMP",
                                      "DOUBLE"};
  if (t >= 257 && t <= 273) return paradox[t - 257];
  if (t >= 513 && t <= 525) return dbase[t - 513];
  return {};
}

}  // namespace engine
