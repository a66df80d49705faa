// pxlib_dump: every record of a Paradox table as comma-separated text,
// read by pxlib (Debian's pxlib-dev): the other side of the whole-process
// dump comparison in quarry_write_bench. Text is written as stored.
#include <paradox.h>
#include <stdint.h>
#include <stdio.h>

static void PrintField(pxdoc_t* doc, const pxfield_t* f, char* data) {
  long l;
  short s;
  double d;
  char c;
  char* text = NULL;
  switch (f->px_ftype) {
    case pxfShort:
      if (PX_get_data_short(doc, data, 2, &s) > 0) printf("%d", s);
      break;
    case pxfLong:
    case pxfAutoInc:
    case pxfDate:
    case pxfTime:
      if (PX_get_data_long(doc, data, 4, &l) > 0 && (int32_t)l != INT32_MIN) printf("%ld", l);
      break;
    case pxfNumber:
    case pxfCurrency:
    case pxfTimestamp:
      if (PX_get_data_double(doc, data, 8, &d) > 0) printf("%.17g", d);
      break;
    case pxfLogical:
      if (PX_get_data_byte(doc, data, 1, &c) > 0) fputs(c ? "true" : "false", stdout);
      break;
    case pxfAlpha:
      if (PX_get_data_alpha(doc, data, f->px_flen, &text) > 0 && text) fputs(text, stdout);
      if (text) doc->free(doc, text);
      break;
    default:
      break;
  }
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fputs("usage: pxlib_dump TABLE\n", stderr);
    return 2;
  }
  PX_boot();
  pxdoc_t* doc = PX_new();
  if (!doc || PX_open_file(doc, argv[1]) < 0) {
    fprintf(stderr, "pxlib_dump: cannot open %s\n", argv[1]);
    return 1;
  }
  int fields = PX_get_num_fields(doc);
  int count = PX_get_num_records(doc);
  char* record = doc->malloc(doc, PX_get_recordsize(doc), "pxlib_dump record");
  for (int i = 0; i < fields; ++i) printf("%s%s", i ? "," : "", PX_get_field(doc, i)->px_fname);
  putchar('\n');
  for (int r = 0; r < count && PX_get_record(doc, r, record); ++r) {
    char* data = record;
    for (int i = 0; i < fields; ++i) {
      const pxfield_t* f = PX_get_field(doc, i);
      if (i) putchar(',');
      PrintField(doc, f, data);
      data += f->px_flen;
    }
    putchar('\n');
  }
  doc->free(doc, record);
  PX_delete(doc);
  PX_shutdown();
  return 0;
}
