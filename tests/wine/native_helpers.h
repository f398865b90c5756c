/* Declarations shared by the Wine test helpers: the native routines they call from ntdll,
   which the SDK headers of an NT 4.0 build do not declare. */
#ifndef HALSHIFT_TESTS_WINE_NATIVE_HELPERS_H
#define HALSHIFT_TESTS_WINE_NATIVE_HELPERS_H

#include <stdio.h>
#include <windows.h>
#include <winternl.h>

#ifndef STATUS_OBJECT_NAME_COLLISION
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#endif
#define HELPER_DIRECTORY_ALL_ACCESS 0x000F000F
#define HELPER_SYMBOLIC_LINK_ALL_ACCESS 0x000F0001
#define HELPER_SECTION_ALL_ACCESS 0x000F001F

NTSTATUS NTAPI NtCreateSection(HANDLE* section, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes,
                               LARGE_INTEGER* maximumSize, ULONG protection, ULONG allocation,
                               HANDLE file);
NTSTATUS NTAPI NtOpenSection(HANDLE* section, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes);
NTSTATUS NTAPI NtMakeTemporaryObject(HANDLE object);
NTSTATUS NTAPI NtCreateDirectoryObject(HANDLE* directory, ACCESS_MASK access,
                                       OBJECT_ATTRIBUTES* attributes);
NTSTATUS NTAPI NtOpenDirectoryObject(HANDLE* directory, ACCESS_MASK access,
                                     OBJECT_ATTRIBUTES* attributes);
NTSTATUS NTAPI NtCreateSymbolicLinkObject(HANDLE* link, ACCESS_MASK access,
                                          OBJECT_ATTRIBUTES* attributes, UNICODE_STRING* target);

/* Attributes of a named object that outlives the helper: it stays in the namespace for as
   long as the wine server runs. */
static inline void PermanentName(OBJECT_ATTRIBUTES* attributes, UNICODE_STRING* name) {
  InitializeObjectAttributes(attributes, name, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, NULL, NULL);
}

#endif
