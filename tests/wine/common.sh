# Shared by the Wine test scripts (sourced, not run).

# report NAME STATUS [DETAILS...]: prints PASS or FAIL for one check, with the details of a
# failure indented below it, and counts it in the caller's passed and failed.
report() {  # report NAME STATUS [DETAILS...]
  local name=$1 status=$2
  shift 2
  if [ "$status" -eq 0 ]; then
    echo "PASS $name"
    passed=$((passed + 1))
  else
    echo "FAIL $name"
    [ $# -gt 0 ] && printf '    %s\n' "$@"
    failed=$((failed + 1))
  fi
}

# remove_work: removes the run's folder $work, or keeps it (and says where) when
# HALSHIFT_WINE_KEEP is set.
remove_work() {
  if [ -n "${HALSHIFT_WINE_KEEP:-}" ]; then
    echo "kept: $work"
  else
    rm -rf "$work"
  fi
}

# A 1 MiB image of the first megabyte of physical memory whose BIOS area (0xF0000) holds a
# "!SIT" table: a processor-slot record (type 13, eight slots of 13 bytes) with the given
# number of occupied slots, then the end record.
write_firmware_image() {  # write_firmware_image FILE SLOTS
  local file=$1 slots=$2 i
  head -c 1048576 /dev/zero > "$file"
  {
    printf '!SIT\015\150'
    for ((i = 0; i < 8; i++)); do
      if [ $i -lt "$slots" ]; then printf '\001\001'; else printf '\000\000'; fi
      head -c 11 /dev/zero
    done
    printf '\000\000'
  } | dd of="$file" bs=1 seek=$((0xF0000)) conv=notrunc status=none
}
