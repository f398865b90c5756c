/* Publishes a firmware image file as the machine's physical memory: a permanent section
   object named \Device\PhysicalMemory, backed by the file, that halshift.exe then opens as
   it opens the kernel's own. A section of that name made earlier is replaced. Needs a wine
   server that stays up (wineserver -p).
     make_physmem_section IMAGE-FILE
   Exit code 0 when the section exists afterwards. */
#include "tests/wine/native_helpers.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: make_physmem_section IMAGE-FILE\n");
    return 2;
  }
  HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "cannot open the image (error %lu)\n", GetLastError());
    return 1;
  }
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\Device\\PhysicalMemory");
  OBJECT_ATTRIBUTES attributes;
  PermanentName(&attributes, &name);
  HANDLE section = NULL;
  NTSTATUS status = NtCreateSection(&section, HELPER_SECTION_ALL_ACCESS, &attributes, NULL,
                                    PAGE_READONLY, SEC_COMMIT, file);
  if (status == STATUS_OBJECT_NAME_COLLISION) {
    /* The earlier section leaves the namespace once it is no longer permanent and its last
       handle is closed. */
    HANDLE earlier = NULL;
    status = NtOpenSection(&earlier, HELPER_SECTION_ALL_ACCESS, &attributes);
    if (status >= 0) {
      NtMakeTemporaryObject(earlier);
      NtClose(earlier);
      status = NtCreateSection(&section, HELPER_SECTION_ALL_ACCESS, &attributes, NULL,
                               PAGE_READONLY, SEC_COMMIT, file);
    }
  }
  CloseHandle(file);
  if (status < 0) {
    fprintf(stderr, "NtCreateSection failed: status 0x%08lx\n", (unsigned long)status);
    return 1;
  }
  NtClose(section);
  return 0;
}
