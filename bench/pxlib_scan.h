// The pxlib side of the scan benchmark: the same full table scan as the
// engine's, done by pxlib (Debian's pxlib-dev), for comparison.
#ifndef QUARRY_BENCH_PXLIB_SCAN_H
#define QUARRY_BENCH_PXLIB_SCAN_H

#ifdef __cplusplus
extern "C" {
#endif

// Opens the Paradox table at path with pxlib, reads every record in file
// order and decodes every field. Returns the seconds taken (open included),
// or a negative value when pxlib cannot open the table.
//
// *records receives the number of records read. *checksum is the sum, over
// all non-NULL values, of:
//   Short, Long, Autoinc: the value;  Date: the day number (0001-01-01 = 1);
//   Time: milliseconds since midnight;  Logical: 1 for true, 0 for false;
//   Number, Money, Timestamp (in milliseconds): the value truncated toward
//     zero, or 0 when it is beyond +-2^63;
//   Alpha, BCD, Bytes and blob fields: 1 per value.
// The sum wraps around like unsigned 64-bit arithmetic, so any reader can
// compute the same figure. Blob contents are not read (Debian's pxlib aborts
// when asked to open a .MB file); a blob counts when its stored length is
// not zero.
double pxlib_scan_table(const char* path, long* records, long* checksum);

#ifdef __cplusplus
}
#endif

#endif  // QUARRY_BENCH_PXLIB_SCAN_H
