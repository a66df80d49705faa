// clock_gettime is POSIX.
#define _POSIX_C_SOURCE 200809L

#include "pxlib_scan.h"

#include <paradox.h>
#include <stdint.h>
#include <string.h>
#include <time.h>

static double Seconds(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static uint64_t Truncated(double value) {
  if (!(value > -9223372036854775808.0 && value < 9223372036854775808.0)) return 0;
  return (uint64_t)(int64_t)value;
}

// pxlib reports a NULL 4-byte integer as INT32_MIN on 64-bit machines (its
// NULL test reads past the field); INT32_MIN itself cannot be stored.
static int ReadLong(pxdoc_t* doc, char* data, long* value) {
  return PX_get_data_long(doc, data, 4, value) > 0 && (int32_t)*value != INT32_MIN;
}

// One count for a text value pxlib hands back in memory of its own.
static uint64_t CountText(pxdoc_t* doc, int found, char* text) {
  if (text) doc->free(doc, text);
  return found > 0 && text ? 1 : 0;
}

static int IsBlob(int type) {
  return type == pxfMemoBLOb || type == pxfBLOb || type == pxfFmtMemoBLOb || type == pxfOLE ||
         type == pxfGraphic;
}

// A blob's stored length sits 4 bytes into the reference that ends the field.
static uint64_t CountBlob(const unsigned char* data, int size) {
  const unsigned char* length = data + size - 6;
  return (length[0] | length[1] | length[2] | length[3]) ? 1 : 0;
}

static uint64_t Fold(pxdoc_t* doc, const pxfield_t* f, char* data) {
  long l;
  short s;
  double d;
  char c;
  char* text = NULL;
  int found;
  switch (f->px_ftype) {
    case pxfShort:
      return PX_get_data_short(doc, data, 2, &s) > 0 ? (uint64_t)(int64_t)s : 0;
    case pxfLong:
    case pxfAutoInc:
    case pxfDate:
    case pxfTime:
      return ReadLong(doc, data, &l) ? (uint64_t)(int64_t)l : 0;
    case pxfNumber:
    case pxfCurrency:
    case pxfTimestamp:
      return PX_get_data_double(doc, data, 8, &d) > 0 ? Truncated(d) : 0;
    case pxfLogical:
      return PX_get_data_byte(doc, data, 1, &c) > 0 && c ? 1 : 0;
    case pxfAlpha:
      found = PX_get_data_alpha(doc, data, f->px_flen, &text);
      return CountText(doc, found, text);
    case pxfBCD:
      found = PX_get_data_bcd(doc, (unsigned char*)data, f->px_fdc, &text);
      return CountText(doc, found, text);
    case pxfBytes:
      for (int i = 0; i < f->px_flen; ++i) {
        if (data[i]) return 1;
      }
      return 0;
    default:
      return IsBlob(f->px_ftype) ? CountBlob((const unsigned char*)data, f->px_flen) : 0;
  }
}

double pxlib_scan_table(const char* path, long* records, long* checksum) {
  double start = Seconds();
  *records = 0;
  *checksum = 0;
  pxdoc_t* doc = PX_new();
  if (!doc) return -1.0;
  if (PX_open_file(doc, path) < 0) {
    PX_delete(doc);
    return -1.0;
  }
  int fields = PX_get_num_fields(doc);
  int count = PX_get_num_records(doc);
  char* record = doc->malloc(doc, PX_get_recordsize(doc), "pxlib_scan record");
  uint64_t sum = 0;
  long read = 0;
  for (int r = 0; r < count && PX_get_record(doc, r, record); ++r, ++read) {
    char* data = record;
    for (int i = 0; i < fields; ++i) {
      const pxfield_t* f = PX_get_field(doc, i);
      sum += Fold(doc, f, data);
      data += f->px_flen;
    }
  }
  doc->free(doc, record);
  PX_delete(doc);
  *records = read;
  *checksum = (long)sum;
  return Seconds() - start;
}
