#!/bin/sh
# Checks that a Windows program imports only what Windows NT 4.0 provides: DLLs of the allowed
# set, and no function of the list of later additions beside this script.
#   check-imports.sh PROGRAM.exe [DENYLIST]
# Prints every import that fails and exits 1 when there is any, 2 on a usage error.
set -u

program=${1:-}
denylist=${2:-$(dirname "$0")/nt40-missing-imports.txt}
objdump=${OBJDUMP:-i686-w64-mingw32-objdump}
allowed_dlls="kernel32.dll user32.dll gdi32.dll advapi32.dll comdlg32.dll version.dll msvcrt.dll"

if [ -z "$program" ] || [ ! -f "$program" ] || [ ! -f "$denylist" ]; then
  echo "usage: check-imports.sh PROGRAM.exe [DENYLIST]" >&2
  exit 2
fi

# One "dll!function" line per import, the DLL name in lower case; "dll!#n" for an import by
# ordinal, which cannot be checked against names.
imports=$("$objdump" -p "$program" | awk '
  /^The Import Tables/ { inImports = 1; next }
  inImports && /^The / { inImports = 0 }
  !inImports { next }
  /DLL Name:/ { dll = tolower($3); print dll "!"; next }
  dll != "" && $1 ~ /^[0-9a-f]+$/ && NF >= 3 { print dll "!" $3; next }
  dll != "" && $1 ~ /^[0-9a-f]+$/ && NF == 2 && $2 ~ /^<none>|^[0-9]+$/ { print dll "!#" $2 }
') || { echo "FAIL: $objdump cannot read $program" >&2; exit 1; }

if [ -z "$imports" ]; then
  echo "FAIL: no import table found in $program" >&2
  exit 1
fi

failures=0
for dll in $(printf '%s\n' "$imports" | sed -n 's/^\([^!]*\)!$/\1/p' | sort -u); do
  case " $allowed_dlls " in
    *" $dll "*) ;;
    *) echo "FAIL: imports $dll, which is not among: $allowed_dlls"; failures=$((failures + 1)) ;;
  esac
done

# The denylist as shell patterns, compared with each import.
patterns=$(sed -e 's/#.*//' -e 's/[[:space:]]//g' "$denylist" | awk 'NF' |
           awk -F'!' '{ print tolower($1) "!" $2 }')
for import in $(printf '%s\n' "$imports" | grep -v '!$' | grep -v '!00000000$'); do
  case "$import" in
    *'!#'*) echo "FAIL: $import is imported by ordinal"; failures=$((failures + 1)); continue ;;
  esac
  for pattern in $patterns; do
    # shellcheck disable=SC2254 # the pattern is a glob on purpose
    case "$import" in
      $pattern) echo "FAIL: $import is not exported by Windows NT 4.0"; failures=$((failures + 1)); break ;;
    esac
  done
done

count=$(printf '%s\n' "$imports" | grep -v '!$' | grep -vc '!00000000$')
if [ "$failures" -ne 0 ]; then
  echo "$failures of $count imports of $program are unavailable on Windows NT 4.0"
  exit 1
fi
echo "all $count imports of $program are available on Windows NT 4.0"
exit 0
