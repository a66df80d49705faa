// shapelib_scan: a full scan of a dBASE table by shapelib's DBF reader
// (Debian's libshp-dev), the other side of quarry_dbase_bench's comparison.
//
//   shapelib_scan FILE.DBF
//   shapelib_scan --checksum FILE.DBF
//   shapelib_scan --start-only     (exits at once)
//
// Opens the table, then reads every field of every record with the reading
// call its type suggests: DBFReadDoubleAttribute for numbers with decimals,
// DBFReadIntegerAttribute for whole numbers, DBFReadStringAttribute for the
// rest (text, dates, logicals). Prints "RECORDS CHECKSUM"; the checksum is 0
// unless --checksum asks for it, and is then the one quarry_dbase_bench
// computes from the engine's values:
//   text: its length in characters (the table's code page has one byte a
//     character);  numbers with decimals: the value x 100, rounded;
//   whole numbers: the value;  dates: YYYYMMDD as a number;
//   logicals: 1 for true;  blanks: 0.
// The sum wraps around like unsigned 64-bit arithmetic.
#include <math.h>
#include <shapefil.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
  // What starting the process costs, for quarry_dbase_bench.
  if (argc == 2 && strcmp(argv[1], "--start-only") == 0) return 0;
  const int withChecksum = argc == 3 && strcmp(argv[1], "--checksum") == 0;
  if (argc != 2 && !withChecksum) {
    fputs("usage: shapelib_scan [--checksum] FILE.DBF\n", stderr);
    return 2;
  }
  const char* path = argv[argc - 1];
  DBFHandle dbf = DBFOpen(path, "rb");
  if (!dbf) {
    fprintf(stderr, "shapelib_scan: cannot open %s\n", path);
    return 1;
  }
  const int records = DBFGetRecordCount(dbf);
  const int fields = DBFGetFieldCount(dbf);
  DBFFieldType* types = malloc(sizeof(DBFFieldType) * (size_t)(fields > 0 ? fields : 1));
  char* natives = malloc((size_t)(fields > 0 ? fields : 1));
  for (int f = 0; f < fields; ++f) {
    types[f] = DBFGetFieldInfo(dbf, f, NULL, NULL, NULL);
    natives[f] = DBFGetNativeFieldType(dbf, f);
  }
  uint64_t checksum = 0;
  long read = 0;
  for (int i = 0; i < records && !withChecksum; ++i) {
    for (int f = 0; f < fields; ++f) {
      switch (types[f]) {
        case FTDouble:
          DBFReadDoubleAttribute(dbf, i, f);
          break;
        case FTInteger:
          DBFReadIntegerAttribute(dbf, i, f);
          break;
        default:
          DBFReadStringAttribute(dbf, i, f);
      }
    }
    ++read;
  }
  for (int i = 0; i < records && withChecksum; ++i) {
    for (int f = 0; f < fields; ++f) {
      switch (types[f]) {
        case FTDouble:
          checksum += (uint64_t)llround(DBFReadDoubleAttribute(dbf, i, f) * 100.0);
          break;
        case FTInteger:
          checksum += (uint64_t)(int64_t)DBFReadIntegerAttribute(dbf, i, f);
          break;
        default: {
          const char* s = DBFReadStringAttribute(dbf, i, f);
          if (!s) break;
          if (natives[f] == 'D')
            checksum += (uint64_t)atol(s);
          else if (natives[f] == 'L')
            checksum += (s[0] == 'T' || s[0] == 't' || s[0] == 'Y' || s[0] == 'y') ? 1 : 0;
          else
            checksum += strlen(s);
        }
      }
    }
    ++read;
  }
  printf("%ld %llu\n", read, (unsigned long long)checksum);
  free(natives);
  free(types);
  DBFClose(dbf);
  return 0;
}
