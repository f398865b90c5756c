/* A program that imports what Windows NT 4.0 lacks, so that check-imports.sh can be shown to
   refuse it: a later kernel32 function, a later msvcrt function and a DLL outside the set. */
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#include <windows.h>
#include <malloc.h>
#include <shellapi.h>

int main(void) {
  void* block = _aligned_malloc(16, 16);
  ULONGLONG ticks = GetTickCount64();
  HINSTANCE shell = ShellExecuteA(NULL, "open", "x", NULL, NULL, SW_HIDE);
  _aligned_free(block);
  return (int)(ticks & 1) + (shell == NULL);
}
