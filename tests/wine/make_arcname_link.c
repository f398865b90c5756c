/* Publishes an ARC device name as the boot loader does: a permanent symbolic link
   \ArcName\<device> whose target is the NT device behind a drive letter. Needs a wine server
   that stays up (wineserver -p).
     make_arcname_link DEVICE DRIVE      e.g. multi(0)disk(0)rdisk(0)partition(1) C:
   Prints the target; exit code 0 when the link exists afterwards. */
#include "tests/wine/native_helpers.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: make_arcname_link DEVICE DRIVE\n");
    return 2;
  }
  wchar_t device[512];
  if (!QueryDosDeviceW(argv[2], device, sizeof device / sizeof device[0])) {
    fprintf(stderr, "QueryDosDeviceW failed (error %lu)\n", GetLastError());
    return 1;
  }

  UNICODE_STRING directoryName;
  RtlInitUnicodeString(&directoryName, L"\\ArcName");
  OBJECT_ATTRIBUTES attributes;
  PermanentName(&attributes, &directoryName);
  HANDLE directory = NULL;
  NTSTATUS status = NtCreateDirectoryObject(&directory, HELPER_DIRECTORY_ALL_ACCESS, &attributes);
  if (status == STATUS_OBJECT_NAME_COLLISION) {
    status = NtOpenDirectoryObject(&directory, HELPER_DIRECTORY_ALL_ACCESS, &attributes);
  }
  if (status < 0) {
    fprintf(stderr, "cannot create \\ArcName: status 0x%08lx\n", (unsigned long)status);
    return 1;
  }

  wchar_t linkPath[512];
  _snwprintf(linkPath, sizeof linkPath / sizeof linkPath[0], L"\\ArcName\\%ls", argv[1]);
  linkPath[sizeof linkPath / sizeof linkPath[0] - 1] = L'\0';
  UNICODE_STRING linkName;
  RtlInitUnicodeString(&linkName, linkPath);
  UNICODE_STRING target;
  RtlInitUnicodeString(&target, device);
  PermanentName(&attributes, &linkName);
  HANDLE link = NULL;
  status = NtCreateSymbolicLinkObject(&link, HELPER_SYMBOLIC_LINK_ALL_ACCESS, &attributes, &target);
  NtClose(directory);
  if (status < 0) {
    fprintf(stderr, "cannot create %ls: status 0x%08lx\n", linkPath, (unsigned long)status);
    return 1;
  }
  NtClose(link);
  printf("%ls\n", device);
  return 0;
}
