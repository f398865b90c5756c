#!/bin/sh
# Checks that a program is no larger than it may be: halshift.exe is copied onto old machines,
# often on a floppy disk, and is held to 512 KiB (stripped; see cmake/separate-symbols.cmake).
#   check-size.sh PROGRAM.exe [LIMIT-IN-BYTES]
# Prints the size and the limit; exits 1 when the program is larger, 2 on a usage error.
set -u

program=${1:-}
limit=${2:-524288}
if [ -z "$program" ] || [ ! -f "$program" ] || ! [ "$limit" -ge 0 ] 2>/dev/null; then
  echo "usage: check-size.sh PROGRAM.exe [LIMIT-IN-BYTES]" >&2
  exit 2
fi

size=$(wc -c < "$program" | tr -d ' ')
if [ "$size" -gt "$limit" ]; then
  echo "FAIL: $program is $size bytes, more than the $limit allowed"
  exit 1
fi
echo "$program is $size bytes, within the $limit allowed"
exit 0
