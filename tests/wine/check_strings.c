/* Compares the string table compiled into halshift.exe by the resource compiler with the one
   compiled into the program's code: both come from core/strings.inc, and a quotation mark,
   tab or line feed that one compiler reads differently from the other shows up here.
     check_strings PROGRAM.exe
   Prints one line per difference; exit code 0 when the tables agree, 1 when not. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

struct Entry {
  unsigned id;
  const char* text;
};

static const struct Entry kExpected[] = {
#define HALSHIFT_STRING(id, text) {id, text},
#include "core/strings.inc"
#undef HALSHIFT_STRING
};

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: check_strings PROGRAM.exe\n");
    return 2;
  }
  HMODULE program = LoadLibraryExW(argv[1], NULL, LOAD_LIBRARY_AS_DATAFILE);
  if (program == NULL) {
    fprintf(stderr, "cannot load the program's resources (error %lu)\n", GetLastError());
    return 1;
  }
  int differences = 0;
  char loaded[2048];
  for (size_t i = 0; i < sizeof kExpected / sizeof kExpected[0]; ++i) {
    int length = LoadStringA(program, kExpected[i].id, loaded, (int)sizeof loaded);
    if (length < 0) length = 0;
    if ((size_t)length != strlen(kExpected[i].text) ||
        memcmp(loaded, kExpected[i].text, (size_t)length) != 0) {
      printf("string %u differs: resource has %d characters \"%.*s\"\n", kExpected[i].id, length,
             length, loaded);
      ++differences;
    }
  }
  /* An id that the table does not hold has no resource either. */
  if (LoadStringA(program, 100, loaded, (int)sizeof loaded) != 0) {
    printf("string 100 exists but is not in the table\n");
    ++differences;
  }
  printf("%u strings compared, %d differ\n", (unsigned)(sizeof kExpected / sizeof kExpected[0]),
         differences);
  return differences == 0 ? 0 : 1;
}
