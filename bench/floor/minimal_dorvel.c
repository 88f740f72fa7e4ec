// SPDX-License-Identifier: Apache-2.0
// The floor of a dorvel run: the same twelve decodes and one encode through
// ecCodes, with nothing around them (no checks beyond the calls' statuses, no
// confinement, no whole-message output). Usage: minimal_dorvel IN OUT
#include <eccodes.h>
#include <stdio.h>
#include <stdlib.h>

enum { kFields = 12, kPoints = 30589 };

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  FILE* in = fopen(argv[1], "rb");
  FILE* out = fopen(argv[2], "wb");
  if (in == NULL || out == NULL) return 1;
  static float fields[kFields][kPoints];
  static double values[kPoints];
  codes_handle* twelfth = NULL;
  int error = 0;
  for (int field = 0; field < kFields; ++field) {
    codes_handle* handle = codes_handle_new_from_file(NULL, in, PRODUCT_GRIB, &error);
    size_t count = kPoints;
    if (handle == NULL || codes_get_double_array(handle, "values", values, &count) != 0 ||
        count != kPoints) {
      return 1;
    }
    for (int point = 0; point < kPoints; ++point) fields[field][point] = (float)values[point];
    if (field == kFields - 1) {
      twelfth = handle;
    } else {
      codes_handle_delete(handle);
    }
  }
  long date = 0, time = 0;
  codes_get_long(twelfth, "dataDate", &date);
  codes_get_long(twelfth, "dataTime", &time);
  int negative = 0;
  float sum = 0.0f;
  for (int point = 0; point < kPoints; ++point) {
    float residual = fields[kFields - 1][point];
    for (int field = 0; field < kFields - 1; ++field) residual -= fields[field][point];
    if (residual < -0.001f) ++negative;
    sum += residual;
    values[point] = (double)residual;
  }
  codes_handle* output = codes_handle_clone(twelfth);
  const void* message = NULL;
  size_t size = 0;
  if (output == NULL || codes_set_double_array(output, "values", values, kPoints) != 0 ||
      codes_set_long(output, "P2", 1) != 0 || codes_get_message(output, &message, &size) != 0 ||
      fwrite(message, 1, size, out) != size) {
    return 1;
  }
  printf("%08ld %04ld neg %d mean %7.3f\n", date, time, negative, (double)(sum / kPoints));
  codes_handle_delete(output);
  codes_handle_delete(twelfth);
  return fclose(out) == 0 ? 0 : 1;
}
