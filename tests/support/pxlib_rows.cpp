// Prints every row of a Paradox table as pxlib (Debian's pxlib-dev) reads it, for the tests to
// compare with: a first line with the field names, then one line a row, values separated by a
// tab, "\N" for an empty value, text as stored, numbers in the C locale. Exit status 1 when pxlib
// cannot open the table. Usage: pxlib_rows TABLE.DB
#include <clocale>
#include <cstdio>

extern "C" {
#include <paradox.h>
}

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "uso: pxlib_rows TABLA.DB\n");
    return 2;
  }
  PX_boot();
  std::setlocale(LC_ALL, "C");  // PX_boot takes the environment's locale
  pxdoc_t* doc = PX_new();
  if (!doc || PX_open_file(doc, argv[1]) < 0) {
    std::fprintf(stderr, "pxlib no abre %s\n", argv[1]);
    return 1;
  }
  const int fields = PX_get_num_fields(doc);
  const int rows = PX_get_num_records(doc);
  pxfield_t* field = PX_get_fields(doc);
  for (int f = 0; f < fields; ++f) std::printf("%s%s", f ? "\t" : "", field[f].px_fname);
  std::printf("\n");
  for (int r = 0; r < rows; ++r) {
    pxval_t** values = PX_retrieve_record(doc, r);
    if (!values) {
      std::fprintf(stderr, "pxlib no lee la fila %d\n", r + 1);
      return 1;
    }
    for (int f = 0; f < fields; ++f) {
      pxval_t* v = values[f];
      if (f) std::printf("\t");
      if (v->isnull) {
        std::printf("\\N");
      } else if (v->type == pxfNumber || v->type == pxfCurrency || v->type == pxfTimestamp) {
        std::printf("%.17g", v->value.dval);
      } else if (v->type == pxfAlpha || v->type == pxfBCD || v->type == pxfBytes) {
        std::fwrite(v->value.str.val, 1, static_cast<size_t>(v->value.str.len), stdout);
      } else if (v->type >= pxfMemoBLOb && v->type <= pxfGraphic) {
        std::printf("(%d bytes)", v->value.str.len);
      } else {
        std::printf("%ld", v->value.lval);
      }
      if ((v->type == pxfAlpha || v->type == pxfBCD || v->type == pxfBytes ||
           (v->type >= pxfMemoBLOb && v->type <= pxfGraphic)) && !v->isnull && v->value.str.val)
        doc->free(doc, v->value.str.val);
      doc->free(doc, v);
    }
    doc->free(doc, values);
    std::printf("\n");
  }
  PX_close(doc);
  PX_delete(doc);
  PX_shutdown();
  return 0;
}
