#!/bin/bash
# Runs the Windows build of halshift under Wine set to Windows NT 4.0, in throw-away prefixes,
# and checks what it leaves behind: the activity log, the registry, the system directory and
# BOOT.INI.
#
#   run-wine-tests.sh WIN32_BUILD_DIR [LINUX_BUILD_DIR]
#
# WIN32_BUILD_DIR holds halshift.exe and the helpers built from tests/wine/*.c. With a Linux
# build (LINUX_BUILD_DIR, or HALSHIFT_LINUX_BUILD), the expected log of the first check is what
# the Linux halshift writes for a machine image that mirrors the prefix; without one it is the
# fixed text in expected_plain_log below.
#
# The upgrade and servicepack checks install stand-in PE files (tests/fixtures/pe, built by the
# win32 preset, or by the Linux build when given): whole i386 images, of known versions where
# the check compares them.
#
# HALSHIFT_WINE_CHECKS   names of the checks to run, blank-separated (default: all of
#                        imports strings help log physmem cores arcname upgrade flush-order
#                        servicepack)
# HALSHIFT_WINE_TIMEOUT  seconds allowed for each wine call (default 120)
# HALSHIFT_WINE_KEEP     when set, the prefixes are kept for inspection and their paths printed
#
# Prints "PASS name" or "FAIL name" per check, then "N passed, N failed"; exits 1 when any
# check failed, 2 on a usage error. Never waits for input and opens no window.
set -u

usage() {
  echo "usage: run-wine-tests.sh WIN32_BUILD_DIR [LINUX_BUILD_DIR]" >&2
  exit 2
}

[ $# -ge 1 ] && [ $# -le 2 ] || usage
win32_build=$(cd "$1" 2>/dev/null && pwd) || usage
linux_build=${2:-${HALSHIFT_LINUX_BUILD:-}}
script_dir=$(cd "$(dirname "$0")" && pwd)
source_dir=${HALSHIFT_SOURCE_DIR:-$(cd "$script_dir/../.." && pwd)}
checks=${HALSHIFT_WINE_CHECKS:-imports strings help log physmem cores arcname upgrade flush-order servicepack}
wine_timeout=${HALSHIFT_WINE_TIMEOUT:-120}

find_program() {
  find "$win32_build" -name "$1" -type f | head -n 1
}
halshift_exe=$(find_program halshift.exe)
if [ -z "$halshift_exe" ]; then
  echo "no halshift.exe below $win32_build" >&2
  exit 2
fi
linux_halshift=
if [ -n "$linux_build" ] && [ -x "$linux_build/programs/halshift" ]; then
  linux_halshift=$linux_build/programs/halshift
fi

# No window may appear, and no installer of Wine's add-ons may ask anything.
unset DISPLAY WAYLAND_DISPLAY
export WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

passed=0
failed=0
prefixes=()
work=$(mktemp -d "${TMPDIR:-/tmp}/halshift-wine.XXXXXX")

# report, remove_work and write_firmware_image.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

cleanup() {
  local prefix
  for prefix in "${prefixes[@]}"; do
    # Only this run's own servers are stopped: each prefix has its own.
    WINEPREFIX=$prefix timeout 30 wineserver -k >/dev/null 2>&1
  done
  remove_work
}
trap cleanup EXIT


wanted() {
  case " $checks " in *" $1 "*) return 0 ;; esac
  return 1
}

# A fresh prefix set to Windows NT 4.0; its path is left in $prefix.
new_prefix() {
  prefix=$work/$1
  prefixes+=("$prefix")
  WINEPREFIX=$prefix timeout "$wine_timeout" wineboot -i </dev/null >/dev/null 2>&1
  WINEPREFIX=$prefix timeout "$wine_timeout" wineserver -w
  in_prefix wine reg add 'HKEY_CURRENT_USER\Software\Wine' /v Version /d nt40 /f >/dev/null
}

# Runs a command with the current prefix, bounded and without input; its exit code is kept.
in_prefix() {
  WINEPREFIX=$prefix timeout "$wine_timeout" "$@" </dev/null 2>/dev/null
}

# Keeps the prefix's server running between programs, so that permanent objects made by the
# helpers (sections, symbolic links) stay in the namespace. Stopped by cleanup.
keep_server() {
  WINEPREFIX=$prefix timeout 30 wineserver -p
}

# The path of a file below drive_c, found without regard to case.
prefix_file() {
  find "$prefix/drive_c" -ipath "$prefix/drive_c/$1" -type f 2>/dev/null | head -n 1
}

log_file() { prefix_file 'orvsystem/log/halshift.log'; }

# The last session of the log, from the program's name in its header on.
last_session() {
  local log
  log=$(log_file)
  [ -n "$log" ] || return 1
  awk '/^Orvane Hardware Abstraction Layer Utility\./ { block = "" } { block = block $0 "\n" } END { printf "%s", block }' "$log"
}

# A registry value of HKLM as `wine reg query` shows it; empty when missing.
reg_value() {  # reg_value KEY NAME
  in_prefix wine reg query "HKEY_LOCAL_MACHINE\\$1" /v "$2" | tr -d '\r' |
    awk -v name="$2" 'tolower($1) == tolower(name) { sub(/^[ \t]*[^ \t]+[ \t]+[^ \t]+[ \t]+/, ""); print; exit }'
}

# A text of the program's string table, as the program stores it.
table_text() {
  local raw
  raw=$(sed -n "s/^HALSHIFT_STRING($1, \"\\(.*\\)\")\$/\\1/p" "$source_dir/core/strings.inc")
  printf '%b' "$raw"
}

# Replaces the session time, which no two runs share.
fixed_time() {
  sed -E 's#[0-9]{2}/[0-9]{2}/[0-9]{2} - [0-9]{2}:[0-9]{2}:[0-9]{2}#MM/DD/YY - HH:MM:SS#g' "$1"
}

# The log block of a silent "upgrade_hal" session on a fresh prefix: Wine records
# "Uniprocessor Free", there is no firmware to read, no BOOT.INI and no CD-ROM drive.
expected_plain_log() {
  local rule=----------------------------------------------------------------------
  {
    printf '%s\n' "$rule" 'Orvane Hardware Abstraction Layer Utility.' 'Version 1.0.0.1' '' \
      'Activity Log:'
    printf 'Silent session beginning...\t%s\n' 'MM/DD/YY - HH:MM:SS'
    printf '%s\n' "$rule" 'Command-line:' 'UPGRADE_HAL' '' 'Current State:' \
      'HAL:                        Uniprocessor HAL' \
      'Installed Processors:       0' \
      'HAL Recovery:               Not Present' ''
    # The driver's entry, then the footer's own line feed.
    table_text 128
    printf '\n'
    printf '%s\n' "$rule" 'Session Complete' "$rule"
  } | sed 's/$/\r/'
}

# What the Linux build writes for a machine image that mirrors the prefix: its registry
# values, its drives and devices. Prints the log with the time replaced.
expected_mirrored_log() {  # expected_mirrored_log RUNS ARGUMENTS...
  local runs=$1
  shift
  local image=$work/mirror-image
  rm -rf "$image"
  mkdir -p "$image/drives/C"
  local system_root current_type csd
  system_root=$(reg_value 'Software\Microsoft\Windows NT\CurrentVersion' SystemRoot)
  current_type=$(reg_value 'Software\Microsoft\Windows NT\CurrentVersion' CurrentType)
  csd=$(reg_value 'System\CurrentControlSet\Control\Windows' CSDVersion)
  {
    printf '[System]\nVersion=4.0\nBuild=1381\nPlatform=NT\nAdministrator=yes\n'
    printf 'SystemDirectory=%s\\system32\nPageSize=4096\n' "$system_root"
    # Wine's Z: is the host's root directory, which holds no boot loader files.
    printf '[Drives]\nC=fixed\nZ=fixed\n'
  } > "$image/machine.ini"
  {
    printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion]\n'
    [ -n "$current_type" ] && printf '"CurrentType"="%s"\n' "$current_type"
    printf '"SystemRoot"="%s"\n' "${system_root//\\/\\\\}"
    printf '\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Windows]\n'
    [ -n "$csd" ] && printf '"CSDVersion"=dword:%08x\n' "$((csd))"
  } > "$image/registry.reg"
  local i
  for ((i = 0; i < runs; i++)); do
    HALSHIFT_MACHINE=$image timeout 60 "$linux_halshift" "$@" </dev/null >/dev/null 2>&1
  done
  local log
  log=$(find "$image/drives/C" -ipath '*/orvsystem/log/halshift.log' -type f | head -n 1)
  [ -n "$log" ] && fixed_time "$log"
}

# --- checks -----------------------------------------------------------------------------

check_imports() {
  local out probe
  out=$("$source_dir/tests/win32/check-imports.sh" "$halshift_exe" 2>&1)
  report imports $? "$out"
  probe=$(find_program later_api_probe.exe)
  if [ -n "$probe" ]; then
    # The check must refuse a program that imports what NT 4.0 lacks.
    out=$("$source_dir/tests/win32/check-imports.sh" "$probe" 2>&1)
    local status=$?
    if [ $status -eq 1 ] && grep -q 'GetTickCount64' <<<"$out" && grep -q 'shell32' <<<"$out" &&
       grep -q '_aligned_malloc' <<<"$out"; then
      report imports-refuses-later-api 0
    else
      report imports-refuses-later-api 1 "check-imports.sh accepted later_api_probe.exe:" "$out"
    fi
  fi
}

check_strings() {
  local helper out
  helper=$(find_program check_strings.exe)
  [ -n "$helper" ] || { report strings 1 "check_strings.exe not built"; return; }
  out=$(in_prefix wine "$helper" "$(WINEPREFIX=$prefix winepath -w "$halshift_exe" 2>/dev/null)")
  report strings $? "$out"
}

check_help() {
  local status
  in_prefix wine "$halshift_exe" /? >/dev/null
  status=$?
  if [ $status -eq 0 ] && [ -z "$(log_file)" ] && [ -z "$(find "$prefix/drive_c" -maxdepth 1 -iname orvsystem)" ]; then
    report help 0
  else
    report help 1 "exit code $status (expected 0); log or ORVSYSTEM directory: $(log_file)"
  fi
}

check_log() {
  local status log expected actual
  in_prefix wine "$halshift_exe" upgrade_hal >/dev/null
  status=$?
  log=$(log_file)
  if [ -z "$log" ]; then
    report log 1 "no orvsystem/log/halshift.log in drive_c (exit code $status)"
    return
  fi
  expected=$work/expected.log
  actual=$work/actual.log
  local source="fixed text"
  if [ -n "$linux_halshift" ] && expected_mirrored_log 1 upgrade_hal > "$expected" && [ -s "$expected" ]; then
    source="Linux build on a mirror image"
  else
    expected_plain_log > "$expected"
  fi
  fixed_time "$log" > "$actual"
  if cmp -s "$expected" "$actual"; then
    report log 0
  else
    report log 1 "log differs from the expected ($source):" "$(diff <(cat -A "$expected") <(cat -A "$actual") | head -n 20)"
  fi
  # No media was found, so the run stopped: exit code 0.
  report log-exit-code "$([ $status -eq 0 ] && echo 0 || echo 1)" "exit code $status, expected 0"

  # A second session is appended after the first, which stays byte for byte.
  local first=$work/first.log
  cp "$log" "$first"
  in_prefix wine "$halshift_exe" upgrade_hal >/dev/null
  local size
  size=$(stat -c %s "$first")
  tail -c +$((size + 1)) "$log" > "$work/second.log"
  if [ "$(stat -c %s "$log")" -eq $((size * 2)) ] && cmp -s -n "$size" "$first" "$log" &&
     cmp -s <(fixed_time "$first") <(fixed_time "$work/second.log"); then
    report log-appends 0
  else
    report log-appends 1 "the second session did not append one more identical block"
  fi

  # On another version of Windows a silent run stops before the log is opened.
  cp "$log" "$first"
  in_prefix wine reg add 'HKEY_CURRENT_USER\Software\Wine' /v Version /d win2k /f >/dev/null
  in_prefix wine "$halshift_exe" upgrade_hal >/dev/null
  status=$?
  in_prefix wine reg add 'HKEY_CURRENT_USER\Software\Wine' /v Version /d nt40 /f >/dev/null
  if [ $status -eq 0 ] && cmp -s "$first" "$log"; then
    report other-windows-version 0
  else
    report other-windows-version 1 "exit code $status; the log $(cmp -s "$first" "$log" && echo "is unchanged" || echo "changed")"
  fi
}

# Bytes given as decimal numbers, written as they are.
put_bytes() {
  local byte
  for byte in "$@"; do printf "\\$(printf %03o "$byte")"; done
}

# A 1 MiB image without a "!SIT" table whose SMBIOS 2.3 entry point (at 0xF0010) describes a
# structure table at 0xE1234, an address on no page or view boundary: one processor structure
# (type 4) per status byte given, without strings.
write_smbios_image() {  # write_smbios_image FILE STATUS...
  local file=$1
  shift
  local table=0xE1234 count=$# structure_size=28
  local length=$((count * structure_size))
  head -c 1048576 /dev/zero > "$file"
  local status
  for status in "$@"; do
    put_bytes 4 26 0 0
    head -c 20 /dev/zero
    put_bytes "$status" 0 0 0
  done | dd of="$file" bs=1 seek=$((table)) conv=notrunc status=none
  # The entry point: anchor, checksum, length 31, version 2.3, ..., table length, address and
  # number of structures; the checksum makes its 31 bytes sum to zero.
  local fields=(95 83 77 95 0 31 2 3 0 0 0 0 0 0 0 0 0 0 0 0 0 0
                $((length & 255)) $((length >> 8))
                $((table & 255)) $(((table >> 8) & 255)) $(((table >> 16) & 255)) $((table >> 24))
                $((count & 255)) $((count >> 8)) 0)
  local sum=0 field
  for field in "${fields[@]}"; do sum=$((sum + field)); done
  fields[4]=$(((256 - sum % 256) % 256))
  put_bytes "${fields[@]}" | dd of="$file" bs=1 seek=$((0xF0010)) conv=notrunc status=none
}

check_physmem() {
  local helper dir
  helper=$(find_program make_physmem_section.exe)
  [ -n "$helper" ] || { report physmem 1 "make_physmem_section.exe not built"; return; }
  dir=$prefix/drive_c/halshift-test
  mkdir -p "$dir"
  write_firmware_image "$dir/firmware.bin" 2
  local out
  out=$(in_prefix wine "$helper" 'C:\halshift-test\firmware.bin' 2>&1) ||
    { report physmem 1 "the section could not be made: $out"; return; }
  in_prefix wine "$halshift_exe" upgrade_hal >/dev/null
  if last_session | grep -q $'^Installed Processors:       2\r$'; then
    report physmem 0
  else
    report physmem 1 "the log does not show 2 processors:" "$(last_session | grep -a Processors)"
  fi

  # Populated sockets count whatever their processor's state (0x41 enabled, 0x43 disabled);
  # an empty socket (0x00) does not. The table's address makes the read start inside a view.
  write_smbios_image "$dir/smbios.bin" 65 0 67 65
  out=$(in_prefix wine "$helper" 'C:\halshift-test\smbios.bin' 2>&1) ||
    { report physmem-smbios 1 "the section could not be replaced: $out"; return; }
  in_prefix wine "$halshift_exe" upgrade_hal >/dev/null
  if last_session | grep -q $'^Installed Processors:       3\r$'; then
    report physmem-smbios 0
  else
    report physmem-smbios 1 "the log does not show 3 processors:" "$(last_session | grep -a Processors)"
  fi
}

# A 1 MiB image of the first megabyte of physical memory holding the regions of a real
# machine's firmware dump (tests/fixtures/firmware/FOLDER) that lie in it.
write_dump_image() {  # write_dump_image FILE FOLDER
  local file=$1 region address
  head -c 1048576 /dev/zero > "$file"
  for region in "$source_dir/tests/fixtures/firmware/$2"/*.bin; do
    address=$((16#$(basename "$region" .bin)))
    [ "$address" -lt 1048576 ] || continue
    dd if="$region" of="$file" bs=4096 oflag=seek_bytes seek="$address" conv=notrunc status=none
  done
}

# The firmware of real virtual machines as physical memory. Two sockets of two cores: the MP
# table lists 2 processors, SMBIOS reports 4 enabled cores, and the log gives the count 2 and,
# right after the state block, the notice with both numbers. One socket of one core: the
# numbers agree, and there is no notice.
check_cores() {
  local helper dir out case folder processors cores notice session after
  helper=$(find_program make_physmem_section.exe)
  [ -n "$helper" ] || { report cores 1 "make_physmem_section.exe not built"; return; }
  dir=$prefix/drive_c/halshift-test
  mkdir -p "$dir"
  for case in "pc-128m-smp4-s2c2 2 4" "pc-128m-smp1 1 0"; do
    read -r folder processors cores <<<"$case"
    write_dump_image "$dir/$folder.bin" "$folder"
    out=$(in_prefix wine "$helper" "C:\\halshift-test\\$folder.bin" 2>&1) ||
      { report "cores-$folder" 1 "the section could not be made: $out"; continue; }
    in_prefix wine "$halshift_exe" upgrade_hal >/dev/null
    session=$(last_session)
    # The second line after the state block's last line: the first entry after the state.
    after=$(printf '%s\n' "$session" | awk '/^HAL Recovery:/ { n = NR + 2 } NR == n { print; exit }' | tr -d '\r')
    if [ "$cores" -gt 0 ]; then
      # shellcheck disable=SC2059 # the table's text is the format, as in the program
      notice=$(printf "$(table_text 172)" "$cores" "$processors")
    else
      notice=$(table_text 128)
    fi
    if ! printf '%s\n' "$session" | grep -q "^Installed Processors:       $processors"$'\r$'; then
      report "cores-$folder" 1 "the log does not show $processors processors:" "$(printf '%s\n' "$session" | grep -a Processors)"
    elif [ "$after" != "$notice" ]; then
      report "cores-$folder" 1 "after the state block:" "$after" "expected:" "$notice"
    elif [ "$cores" -eq 0 ] && printf '%s\n' "$session" | grep -q 'enabled processor cores'; then
      report "cores-$folder" 1 "a notice where the numbers agree"
    else
      report "cores-$folder" 0
    fi
  done
}

readonly arc_device='multi(0)disk(0)rdisk(0)partition(1)'
# The boot loader's files on C:, with a BOOT.INI whose entries name the prefix's system root
# on an ARC device.
write_boot_files() {  # write_boot_files WITH_RECOVERY_LINE [ARC_DEVICE]
  local device=${2:-$arc_device} root dir
  root=$(reg_value 'Software\Microsoft\Windows NT\CurrentVersion' SystemRoot)
  dir=${root#*:}
  local boot=$prefix/drive_c/BOOT.INI
  rm -f "$boot" "$prefix/drive_c/boot.ini"
  {
    printf '[boot loader]\r\ntimeout=30\r\ndefault=%s%s\r\n' "$device" "$dir"
    printf '[operating systems]\r\n'
    printf '%s%s="Windows NT Workstation Version 4.00"\r\n' "$device" "$dir"
    printf '%s%s="Windows NT Workstation Version 4.00 [VGA mode]" /basevideo /sos\r\n' "$device" "$dir"
    if [ "$1" = yes ]; then
      printf '%s%s="Windows NT Workstation Version 4.00 [HAL Recovery Mode]" /basevideo /HAL=UPHAL.DLL /KERNEL=UPKERNEL.EXE /ORVRCV=1\r\n' "$device" "$dir"
    fi
  } > "$boot"
  printf 'NTLDR stand-in\r\n' > "$prefix/drive_c/NTLDR"
  printf 'NTDETECT stand-in\r\n' > "$prefix/drive_c/NTDETECT.COM"
}

# The \ArcName link of an ARC device (the boot partition's unless named), leading to the
# device behind C:. Prints why not when it cannot be made.
make_arc_link() {  # make_arc_link [ARC_DEVICE]
  local helper out
  helper=$(find_program make_arcname_link.exe)
  [ -n "$helper" ] || { echo "make_arcname_link.exe not built"; return 1; }
  out=$(WINEPREFIX=$prefix timeout "$wine_timeout" wine "$helper" "${1:-$arc_device}" C: 2>&1 </dev/null) ||
    { echo "make_arcname_link: $out"; return 1; }
}

recovery_state() { last_session | grep -a '^HAL Recovery:' | tr -d '\r'; }

check_arcname() {
  local why
  why=$(make_arc_link) || { report arcname 1 "the \\ArcName link could not be made: $why"; return; }
  write_boot_files no
  in_prefix wine "$halshift_exe" upgrade_hal >/dev/null
  local without with
  without=$(recovery_state)
  write_boot_files yes
  in_prefix wine "$halshift_exe" upgrade_hal >/dev/null
  with=$(recovery_state)
  if [ "$without" = 'HAL Recovery:               Not Present' ] &&
     [ "$with" = 'HAL Recovery:               Present' ]; then
    report arcname 0
  else
    report arcname 1 "without the line: '$without'; with it: '$with'"
  fi

  # A link whose target is longer than its own name: the target must still be read whole.
  local short=multi\(0\)
  why=$(make_arc_link "$short") || { report arcname-long-target 1 "no link: $why"; return; }
  write_boot_files yes "$short"
  in_prefix wine "$halshift_exe" upgrade_hal >/dev/null
  with=$(recovery_state)
  [ "$with" = 'HAL Recovery:               Present' ]
  report arcname-long-target $? "recovery entry on $short: '$with'"

  # A recovery line written with a blank before "=": Windows' profile reader drops the blank,
  # and so does the machine image's, so both find the entry.
  write_boot_files no
  printf '%s%s = "Windows NT [HAL Recovery Mode]" /ORVRCV=1\r\n' "$arc_device" \
    "$(reg_value 'Software\Microsoft\Windows NT\CurrentVersion' SystemRoot | sed 's/^[^:]*://')" \
    >> "$prefix/drive_c/BOOT.INI"
  in_prefix wine "$halshift_exe" upgrade_hal >/dev/null
  with=$(recovery_state)
  [ "$with" = 'HAL Recovery:               Present' ]
  report arcname-blank-before-equals $? "recovery line with a blank before '=': '$with'"
}

readonly media_files='HALMPS.DLL NTKRNLMP.EXE NTDLL.DLL KERNEL32.DLL WINSRV.DLL WIN32K.SYS HAL.DLL NTOSKRNL.EXE'

# The contents of a stand-in for a system file: a whole i386 image without a version resource
# (misc/noversion.dll of the stand-ins), followed by text that names it, so that each file is
# told from the others. Bytes after the last section are no part of the image.
stand_in_bytes() {  # stand_in_bytes NAME
  local i standins
  standins=$(standin_dir) || return 1
  cat "$standins/misc/noversion.dll"
  for ((i = 0; i < 40; i++)); do printf 'halshift stand-in for %s, line %d\r\n' "$1" "$i"; done
}

# A CD-ROM drive D: with \I386 holding stand-ins for the media files, some compressed as
# compress.exe does (the last character of the name becomes "_"), some plain.
make_cdrom() {
  local media=$work/cdrom
  mkdir -p "$media/I386"
  local name
  for name in $media_files; do
    case $name in
      HALMPS.DLL | NTKRNLMP.EXE | NTDLL.DLL)
        stand_in_bytes "$name" > "$media/I386/$name" || return 1
        # mscompress appends "_"; the media name replaces the last character with it.
        mscompress "$media/I386/$name" >/dev/null 2>&1 || return 1
        rm -f "$media/I386/$name"
        mv "$media/I386/${name}_" "$media/I386/${name%?}_" || return 1
        [ -f "$media/I386/${name%?}_" ] || return 1
        ;;
      *) stand_in_bytes "$name" > "$media/I386/$name" || return 1 ;;
    esac
  done
  ln -sfn "$media" "$prefix/dosdevices/d:"
  in_prefix wine reg add 'HKEY_LOCAL_MACHINE\Software\Wine\Drives' /v d: /d cdrom /f >/dev/null
}

check_upgrade() {
  make_cdrom || { report upgrade 1 "the CD-ROM drive could not be prepared (mscompress? the stand-in PE files?)"; return; }
  local system_root system_dir
  system_root=$(reg_value 'Software\Microsoft\Windows NT\CurrentVersion' SystemRoot)
  system_dir=$(WINEPREFIX=$prefix winepath -u "$system_root\\system32" 2>/dev/null)
  write_boot_files no
  local why
  why=$(make_arc_link) || { report upgrade 1 "the \\ArcName link could not be made: $why"; return; }

  # Wine's own DLLs of these names are put back once their replacement has been checked, so
  # that Wine (and halshift.exe) can run again in this prefix.
  local saved=$work/saved-system-files file
  mkdir -p "$saved"
  for file in HAL.DLL NTOSKRNL.EXE NTDLL.DLL KERNEL32.DLL WINSRV.DLL WIN32K.SYS; do
    find "$system_dir" -maxdepth 1 -iname "$file" -type f -exec cp -p {} "$saved/" \;
  done

  local status
  in_prefix wine "$halshift_exe" upgrade_hal >/dev/null
  status=$?
  local problems=() source destination
  for pair in HALMPS.DLL:HAL.DLL NTKRNLMP.EXE:NTOSKRNL.EXE NTDLL.DLL:NTDLL.DLL \
              KERNEL32.DLL:KERNEL32.DLL WINSRV.DLL:WINSRV.DLL WIN32K.SYS:WIN32K.SYS; do
    source=${pair%%:*}
    destination=$(find "$system_dir" -maxdepth 1 -iname "${pair##*:}" -type f | head -n 1)
    if [ -z "$destination" ]; then
      problems+=("${pair##*:} is not in the system directory")
    elif ! cmp -s <(stand_in_bytes "$source") "$destination"; then
      problems+=("${pair##*:} does not hold the expanded $source")
    fi
  done
  [ $status -eq 1 ] || problems+=("exit code $status, expected 1")
  last_session | grep -q "^$(table_text 123 | head -n 1)"$'\r$' ||
    problems+=("the log lacks: $(table_text 123)")
  for file in "$saved"/*; do
    [ -e "$file" ] || continue
    find "$system_dir" -maxdepth 1 -iname "$(basename "$file")" -type f -delete
    cp -p "$file" "$system_dir/"
  done
  local current_type
  current_type=$(reg_value 'Software\Microsoft\Windows NT\CurrentVersion' CurrentType)
  [ "$current_type" = 'Multiprocessor Free' ] || problems+=("CurrentType is '$current_type'")
  report upgrade "${#problems[@]}" "${problems[@]}"

  problems=()
  # Wine's own services start again with the next program after the DLLs were swapped; a
  # program that runs first lets them settle, so that halshift.exe finds the drives as usual.
  in_prefix wine cmd /c exit >/dev/null
  local printed root
  printed=$(in_prefix wine "$halshift_exe" enable_recovery)
  status=$?
  root=$(reg_value 'Software\Microsoft\Windows NT\CurrentVersion' SystemRoot)
  local boot
  boot=$(prefix_file BOOT.INI)
  [ $status -eq 1 ] || problems+=("exit code $status, expected 1")
  # The running installation's entry goes to standard output.
  [ "$printed" = "$arc_device${root#*:}=\"Windows NT Workstation Version 4.00\"" ] ||
    problems+=("standard output: '$printed'")
  grep -q '/ORVRCV=1' "$boot" 2>/dev/null || problems+=("BOOT.INI has no recovery line")
  [ -n "$(prefix_file BOOTINI.ORV)" ] || problems+=("no BOOTINI.ORV backup")
  last_session | grep -q "^$(table_text 119 | head -n 1)"$'\r$' ||
    problems+=("the log lacks: $(table_text 119)")
  [ ${#problems[@]} -eq 0 ] || problems+=("last session:" "$(last_session | tr -d '\r' | sed -n '/^Current State/,$p')")
  report enable-recovery "${#problems[@]}" "${problems[@]}"

  check_backup_is_current
  check_blanks_around_equals
  check_interrupted_change "$system_root" "$system_dir"
}

# Entries written "key  =  value": the recovery line goes after the first of them, and
# disabling takes it out again, leaving the menu byte for byte as it was.
check_blanks_around_equals() {
  local problems=() boot original=$work/blanks-boot.ini status
  write_boot_files no
  boot=$prefix/drive_c/BOOT.INI
  sed -i 's/^\(multi([^=]*\)=/\1  =  /' "$boot"
  cp "$boot" "$original"
  in_prefix wine "$halshift_exe" enable_recovery >/dev/null
  status=$?
  [ $status -eq 1 ] || problems+=("enabling: exit code $status, expected 1")
  boot=$(prefix_file BOOT.INI)
  # The recovery line follows the first entry, the rest as it was.
  local expected=$work/blanks-expected.ini root
  root=$(reg_value 'Software\Microsoft\Windows NT\CurrentVersion' SystemRoot)
  # Through the environment: awk would read the backslashes of -v values as escapes.
  LINE="$arc_device${root#*:}=\"Windows NT Workstation Version 4.00 [HAL Recovery Mode]\" /basevideo /HAL=UPHAL.DLL /KERNEL=UPKERNEL.EXE /ORVRCV=1"$'\r' \
    awk '{ print } /^multi/ && !done { print ENVIRON["LINE"]; done = 1 }' "$original" > "$expected"
  cmp -s "$expected" "$boot" ||
    problems+=("BOOT.INI after enabling:" "$(diff <(tr -d '\r' < "$expected") <(tr -d '\r' < "$boot"))")
  in_prefix wine "$halshift_exe" disable_recovery >/dev/null
  status=$?
  [ $status -eq 1 ] || problems+=("disabling: exit code $status, expected 1")
  cmp -s "$original" "$(prefix_file BOOT.INI)" ||
    problems+=("BOOT.INI after disabling:" "$(diff <(tr -d '\r' < "$original") <(tr -d '\r' < "$(prefix_file BOOT.INI)"))")
  [ ${#problems[@]} -eq 0 ] || problems+=("last session:" "$(last_session | tr -d '\r' | sed -n '/^Current State/,$p')")
  report blanks-around-equals "${#problems[@]}" "${problems[@]}"
}

# Enabling that finds the running entry but no line to put the recovery line after (the
# section's header is written with a trailing blank, which the profile reader drops and the
# line view does not): text 115 sends the user to BOOTINI.ORV, which must then hold the
# BOOT.INI on disk, not an older menu.
check_backup_is_current() {
  local problems=() boot status
  write_boot_files no
  boot=$prefix/drive_c/BOOT.INI
  sed -i 's/^\[operating systems\]\r$/[operating systems] \r/' "$boot"
  grep -q '^\[operating systems\] '$'\r''$' "$boot" || problems+=("the header was not changed")
  rm -f "$(prefix_file BOOTINI.ORV)"
  printf 'an older menu\r\n' > "$prefix/drive_c/BOOTINI.ORV"
  in_prefix wine "$halshift_exe" enable_recovery >/dev/null
  status=$?
  [ $status -eq 0 ] || problems+=("exit code $status, expected 0")
  last_session | grep -q "^$(table_text 115)"$'\r$' || problems+=("the log lacks text 115")
  cmp -s "$(prefix_file BOOT.INI)" "$(prefix_file BOOTINI.ORV)" ||
    problems+=("BOOTINI.ORV is not the BOOT.INI on disk: $(head -c 200 "$(prefix_file BOOTINI.ORV)")")
  report backup-is-current "${#problems[@]}" "${problems[@]}"
}

# A change of system files that an ended process left after its intent record was written:
# the new file staged whole, its placeholder empty. Any start finishes it before anything else.
check_interrupted_change() {  # check_interrupted_change SYSTEM_ROOT SYSTEM_DIR
  local system_root=$1 system_dir=$2 problems=() status
  local windows_dir="$system_root\\system32"
  local target record
  target=$(find "$system_dir" -maxdepth 1 -iname UPKERNEL.EXE -type f | head -n 1)
  [ -n "$target" ] || { report interrupted-change 1 "no UPKERNEL.EXE to change"; return; }
  printf 'the new spare kernel, staged whole\r\n' > "$system_dir/hsn7A01.TMP"
  : > "$system_dir/del7A02.TMP"
  record=$(find "$prefix/drive_c" -maxdepth 3 -ipath '*/orvsystem/log' -type d | head -n 1)/halshift.jnl
  python3 - "$system_dir/hsn7A01.TMP" "$windows_dir" > "$record" <<'PYTHON'
import sys
data = open(sys.argv[1], 'rb').read()
h = 0xCBF29CE484222325
for b in data:
    h = ((h ^ b) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF
d = sys.argv[2]
sys.stdout.write('halshift intent 1\r\nFile=%s\\hsn7A01.TMP*%s\\UPKERNEL.EXE*%s\\del7A02.TMP*80*%x*%x*NTOSKRNL.EXE\r\nEnd=1\r\n'
                 % (d, d, d, len(data), h))
PYTHON
  in_prefix wine "$halshift_exe" status >/dev/null
  status=$?
  [ $status -eq 0 ] || problems+=("exit code $status, expected 0 (no keyword)")
  last_session | grep -q "^$(table_text 155 | head -n 1)"$'\r$' || problems+=("the log lacks: $(table_text 155)")
  cmp -s "$system_dir/hsn7A01.TMP" <(printf 'the new spare kernel, staged whole\r\n') 2>/dev/null &&
    problems+=("the staged file is still there")
  target=$(find "$system_dir" -maxdepth 1 -iname UPKERNEL.EXE -type f | head -n 1)
  cmp -s "$target" <(printf 'the new spare kernel, staged whole\r\n') ||
    problems+=("UPKERNEL.EXE does not hold the staged file")
  [ -e "$record" ] && problems+=("the intent record is still there")
  [ -e "$system_dir/del7A02.TMP" ] && problems+=("the old spare kernel was neither deleted nor left for the restart")
  [ ${#problems[@]} -eq 0 ] || problems+=("last session:" "$(last_session | tr -d '\r')")
  report interrupted-change "${#problems[@]}" "${problems[@]}"
}

# The calls of a relay trace (WINEDEBUG=+relay) that the order of a change's steps is read
# from, one letter each, in the order made:
#   R  the intent record opened for writing (CreateFileA with GENERIC_WRITE)
#   F  a volume flush: FlushFileBuffers on a handle that CreateFileA("\\.\X:") returned
#   M  a file moved into the system directory (MoveFileA, MoveFileExA without a delay)
#   B  a file moved over BOOT.INI
#   T  CurrentType written (RegSetValueExA)
#   D  the intent record removed (DeleteFileA)
# A call counts once its Ret line shows it succeeded, and only when the program made it: its
# return address lies in the program's image, from LOW up to HIGH (8 lower-case hex digits
# each; Wine's DLLs make such calls inside theirs, VerInstallFileA among them). The trace
# prints strings escaped, each backslash doubled.
readonly relayed_calls='CreateFileA;FlushFileBuffers;MoveFileA;MoveFileExA;DeleteFileA;RegSetValueExA'
relay_order() {  # relay_order TRACE LOW HIGH
  awk -v low="$2" -v high="$3" '
    function strings(line, out,    n, rest) {
      n = 0; rest = line
      while (match(rest, /"([^"\\]|\\.)*"/)) {
        out[++n] = tolower(substr(rest, RSTART + 1, RLENGTH - 2))
        rest = substr(rest, RSTART + RLENGTH)
      }
      return n
    }
    function is_record(name) { return name ~ /(\\)+orvsystem(\\)+log(\\)+halshift\.jnl$/ }
    {
      if (!match($0, /^[0-9a-f]+:(Call|Ret ) [A-Za-z0-9_]+\.[A-Za-z]+\(/)) next
      tid = substr($0, 1, index($0, ":") - 1)
      split(substr($0, RSTART, RLENGTH), head, /[ .(]+/)
      kind = substr(head[1], length(tid) + 2); call = head[3]
      caller = $0; sub(/^.* ret=/, "", caller); caller = tolower(substr(caller, 1, 8))
      if (length(caller) != 8 || caller < low || caller >= high) next
      if (kind == "Call") {
        delete args; n = strings($0, args)
        name[tid, call] = args[1]; target[tid, call] = (n >= 2 ? args[2] : "")
        if (call == "CreateFileA") {
          access[tid] = $0; sub(/^[^"]*"([^"\\]|\\.)*",/, "", access[tid]); access[tid] = substr(access[tid], 1, 8)
        }
        if (call == "FlushFileBuffers") {
          h = $0; sub(/^.*FlushFileBuffers\(/, "", h); h = substr(h, 1, 8)
          if (h in volume) order = order "F"
        }
        if (call == "MoveFileExA" && n < 2) target[tid, call] = ""
        next
      }
      retval = $0; sub(/^.* retval=/, "", retval); retval = substr(retval, 1, 8)
      if (call == "CreateFileA") {
        delete volume[retval]
        if (retval == "ffffffff") next
        if (name[tid, call] ~ /^\\\\\\\\\.\\\\[a-z]:$/) volume[retval] = 1
        else if (is_record(name[tid, call]) && access[tid] ~ /^[4-7c-f]/) order = order "R"
      } else if ((call == "MoveFileA" || call == "MoveFileExA") && retval != "00000000") {
        t = target[tid, call]
        if (t ~ /\\system32(\\)+[^\\]+$/) order = order "M"
        else if (t ~ /^c:\\\\boot\.ini$/) order = order "B"
      } else if (call == "DeleteFileA" && retval != "00000000" && is_record(name[tid, call])) {
        order = order "D"
      } else if (call == "RegSetValueExA" && retval == "00000000" && name[tid, call] == "currenttype") {
        order = order "T"
      }
    }
    END { print order }
  ' "$1"
}

# The program's image as its header places it: "LOW HIGH", 8 lower-case hex digits each.
image_range() {  # image_range PROGRAM
  "${OBJDUMP:-i686-w64-mingw32-objdump}" -p "$1" | awk '
    $1 == "ImageBase" { base = $2 } $1 == "SizeOfImage" { size = $2 }
    END { if (base != "" && size != "") print base, size }' | {
    read -r base size || return 1
    printf '%08x %08x\n' $((16#$base)) $((16#$base + 16#$size))
  }
}

# The typical silent run (the recovery entry, then the upgrade) under a relay trace of the
# calls above: each change flushes the volume after its record is written and before the first
# old file moves, after its last file is in place and before CurrentType, and before its record
# goes; the boot menu's drive is flushed before and after BOOT.INI is replaced.
check_flush_order() {
  make_cdrom || { report flush-order 1 "the CD-ROM drive could not be prepared (mscompress?)"; return; }
  local system_root system_dir
  system_root=$(reg_value 'Software\Microsoft\Windows NT\CurrentVersion' SystemRoot)
  system_dir=$(WINEPREFIX=$prefix winepath -u "$system_root\\system32" 2>/dev/null)
  write_boot_files no
  local why
  why=$(make_arc_link) || { report flush-order 1 "the \\ArcName link could not be made: $why"; return; }
  local saved=$work/saved-flush-order file
  mkdir -p "$saved"
  for file in $system_file_names; do
    find "$system_dir" -maxdepth 1 -iname "$file" -type f -exec cp -p {} "$saved/" \;
  done

  # Only the program's own calls, only these: Wine's DLLs make the same calls inside theirs.
  in_prefix wine reg add 'HKEY_CURRENT_USER\Software\Wine\Debug' /v RelayInclude /d "$relayed_calls" /f >/dev/null
  in_prefix wine reg add 'HKEY_CURRENT_USER\Software\Wine\Debug' /v RelayFromInclude \
    /d "$(basename "$halshift_exe" .exe)" /f >/dev/null
  local trace=$work/flush-order.trace status
  WINEPREFIX=$prefix WINEDEBUG=+relay timeout "$wine_timeout" wine "$halshift_exe" \
    upgrade_hal enable_recovery </dev/null >/dev/null 2>"$trace"
  status=$?
  in_prefix wine reg delete 'HKEY_CURRENT_USER\Software\Wine\Debug' /f >/dev/null
  for file in "$saved"/*; do
    [ -e "$file" ] || continue
    find "$system_dir" -maxdepth 1 -iname "$(basename "$file")" -type f -delete
    cp -p "$file" "$system_dir/"
  done

  local problems=() order range
  [ $status -eq 1 ] || problems+=("exit code $status, expected 1")
  range=$(image_range "$halshift_exe") || { report flush-order 1 "objdump cannot read $halshift_exe"; return; }
  order=$(relay_order "$trace" $range)
  # The spare pair (no CurrentType), the boot menu, then the six multiprocessor files (with a
  # flush between setup.log's backup and its rewrite where there is a setup.log).
  [[ $order =~ ^RFM+FFD(FBF)RFM{6,}FTF?FD$ ]] ||
    problems+=("calls in the order '$order', expected RFM..FFD FBF RFM..FTFD (see the letters above relay_order)")
  grep -q 'FlushFileBuffers' "$trace" || problems+=("the trace shows no FlushFileBuffers call at all")
  [ ${#problems[@]} -eq 0 ] || problems+=("last session:" "$(last_session | tr -d '\r' | sed -n '/^Current State/,$p')")
  report flush-order "${#problems[@]}" "${problems[@]}"
}

# The directory of the stand-in PE files: the win32 build's, else the Linux build's.
standin_dir() {
  local dir
  for dir in "$win32_build/tests/fixtures/pe" ${linux_build:+"$linux_build/tests/fixtures/pe"}; do
    if [ -f "$dir/sp/ntoskrnl.exe" ]; then
      printf '%s' "$dir"
      return 0
    fi
  done
  return 1
}

# The checksum setup.log gives a file (pe_checksum.py, a second implementation beside the
# program's): lower-case hexadecimal without leading zeros.
file_checksum() {  # file_checksum FILE
  python3 "$source_dir/tests/fixtures/pe/pe_checksum.py" print "$1"
}

readonly system_file_names='HAL.DLL NTOSKRNL.EXE NTDLL.DLL KERNEL32.DLL WINSRV.DLL WIN32K.SYS'

# A CD-ROM drive D: whose \I386 holds the files given as MEDIA-NAME=HOST-FILE, the kernels
# compressed as the real CD keeps them.
make_standin_cdrom() {  # make_standin_cdrom NAME=FILE...
  local media=$work/spcdrom pair name
  rm -rf "$media"
  mkdir -p "$media/I386"
  for pair in "$@"; do
    name=${pair%%=*}
    cp "${pair#*=}" "$media/I386/$name" || return 1
    case $name in
      *.EXE)
        mscompress "$media/I386/$name" >/dev/null 2>&1 || return 1
        rm -f "$media/I386/$name"
        mv "$media/I386/${name}_" "$media/I386/${name%?}_" || return 1
        ;;
    esac
  done
  ln -sfn "$media" "$prefix/dosdevices/d:"
  in_prefix wine reg add 'HKEY_LOCAL_MACHINE\Software\Wine\Drives' /v d: /d cdrom /f >/dev/null
}

# setup.log of the prefix's installation, as NT 4.0 setup writes it (CR LF): the six system
# files with the names and checksums of the files in the system directory, among others.
write_setup_log() {  # write_setup_log FILE SYSTEM_ROOT_DIR SYSTEM_DIR
  local file=$1 root=$2 system=$3 name path
  {
    printf '[Paths]\nTargetDirectory = "%s"\n[Signature]\nVersion = "WinNt4.0"\n' "$root"
    printf '[Files.SystemPartition]\nntldr = "ntldr","2a36b"\n[Files.WinNt]\n'
    printf '%s\\system32\\drivers\\atapi.sys = "atapi.sys","b1a6"\n' "$root"
    for name in $system_file_names; do
      path=$(find "$system" -maxdepth 1 -iname "$name" -type f | head -n 1)
      printf '%s\\system32\\%s = "%s","%s"\n' "$root" "${name,,}" "${name,,}" "$(file_checksum "$path")"
    done
    printf '%s\\system32\\vga.dll = "vga.dll","74fd"\n' "$root"
  } | sed 's/$/\r/' > "$file"
}

# A Service Pack system: the stand-in HAL and kernel of 4.0.1381.335 installed in place of
# Wine's. First a CD of the base release (4.0.1381.7) is refused with nothing changed and the
# reason in the log; then the Service Pack's CD is taken, and setup.log names the files that
# the upgrade installed, every other byte kept.
check_servicepack() {
  local standins
  standins=$(standin_dir) ||
    { report media-check 1 "no stand-in PE files in $win32_build or ${linux_build:-(no Linux build)}"; return; }
  local system_root system_dir root_dir
  system_root=$(reg_value 'Software\Microsoft\Windows NT\CurrentVersion' SystemRoot)
  system_dir=$(WINEPREFIX=$prefix winepath -u "$system_root\\system32" 2>/dev/null)
  root_dir=${system_root#*:}

  # Wine's own files are put back at the end, so that the prefix can run programs again.
  local saved=$work/saved-servicepack file
  mkdir -p "$saved"
  for file in $system_file_names; do
    find "$system_dir" -maxdepth 1 -iname "$file" -type f -exec cp -p {} "$saved/" \;
  done
  installed() {  # installed NAME: the host path of a system file
    find "$system_dir" -maxdepth 1 -iname "$1" -type f | head -n 1
  }
  for file in HAL.DLL NTOSKRNL.EXE; do
    find "$system_dir" -maxdepth 1 -iname "$file" -type f -delete
  done
  cp "$standins/sp/hal.dll" "$system_dir/hal.dll"
  cp "$standins/sp/ntoskrnl.exe" "$system_dir/ntoskrnl.exe"
  # Wine has no WINSRV.DLL or WIN32K.SYS; an installation of NT has all six.
  for file in $system_file_names; do
    [ -n "$(installed "$file")" ] || stand_in_bytes "installed $file" > "$system_dir/${file,,}"
  done

  local repair=$system_dir/../repair
  mkdir -p "$repair"
  local setup_log=$repair/setup.log
  write_setup_log "$setup_log" "$root_dir" "$system_dir"
  chmod a-w "$setup_log"
  local original=$work/setup.log.original
  cp "$setup_log" "$original"
  local before=$work/system-before
  mkdir -p "$before"
  for file in $system_file_names; do cp "$(installed "$file")" "$before/$file"; done
  local type_before
  type_before=$(reg_value 'Software\Microsoft\Windows NT\CurrentVersion' CurrentType)

  # The other four files are stand-ins without a version resource, so not judged by version.
  local texts=$work/text-standins name
  mkdir -p "$texts"
  for name in NTDLL.DLL KERNEL32.DLL WINSRV.DLL WIN32K.SYS; do
    stand_in_bytes "$name" > "$texts/$name"
  done
  local others=(NTDLL.DLL="$texts/NTDLL.DLL" KERNEL32.DLL="$texts/KERNEL32.DLL"
                WINSRV.DLL="$texts/WINSRV.DLL" WIN32K.SYS="$texts/WIN32K.SYS")

  # An upgrade from the CD in D: is refused with the reason given and nothing changed.
  expect_refused() {  # expect_refused CHECK REASON
    local problems=() status
    in_prefix wine "$halshift_exe" upgrade_hal >/dev/null
    status=$?
    [ $status -eq 0 ] || problems+=("exit code $status, expected 0")
    last_session | tr -d '\r' | grep -qxF -- "$(table_text 122 | head -n 1)" ||
      problems+=("the log lacks: $(table_text 122 | head -n 1)")
    last_session | tr -d '\r' | grep -qxF -- "$2" || problems+=("the log lacks: $2")
    for file in $system_file_names; do
      cmp -s "$before/$file" "$(installed "$file")" || problems+=("$file changed")
    done
    cmp -s "$original" "$setup_log" || problems+=("setup.log changed")
    [ -z "$(find "$repair" -maxdepth 1 -iname setup.orv)" ] || problems+=("a setup.orv was made")
    [ -z "$(find "$system_dir" -maxdepth 1 \( -iname 'hsn*.tmp' -o -iname 'del*.tmp' \))" ] ||
      problems+=("temporary files left in the system directory")
    [ "$(reg_value 'Software\Microsoft\Windows NT\CurrentVersion' CurrentType)" = "$type_before" ] ||
      problems+=("CurrentType changed")
    [ ${#problems[@]} -eq 0 ] || problems+=("last session:" "$(last_session | tr -d '\r' | sed -n '/^Current State/,$p')")
    report "$1" "${#problems[@]}" "${problems[@]}"
  }
  # A string-table text with its %s markers filled in, in order.
  fill_in() {  # fill_in ID VALUE...
    local text
    text=$(table_text "$1")
    shift
    local value
    for value in "$@"; do text=${text/\%s/$value}; done
    printf '%s' "$text"
  }

  make_standin_cdrom HALMPS.DLL="$standins/base/halmps.dll" NTKRNLMP.EXE="$standins/base/ntkrnlmp.exe" \
    "${others[@]}" HAL.DLL="$standins/base/hal.dll" NTOSKRNL.EXE="$standins/base/ntoskrnl.exe" ||
    { report media-check 1 "the CD-ROM drive could not be prepared (mscompress?)"; return; }
  expect_refused media-check "$(fill_in 159 NTKRNLMP.EXE 4.0.1381.7 4.0.1381.335)"

  # The Service Pack's files, but its multiprocessor kernel built for the Alpha (the machine
  # field of the stand-in changed to 0x184), with the installed version: refused all the same.
  local alpha=$work/alpha-ntkrnlmp.exe
  python3 - "$standins/sp/ntkrnlmp.exe" "$alpha" <<'PYTHON'
import struct, sys
data = bytearray(open(sys.argv[1], 'rb').read())
pe = struct.unpack_from('<I', data, 0x3C)[0]
struct.pack_into('<H', data, pe + 4, 0x184)
open(sys.argv[2], 'wb').write(data)
PYTHON
  make_standin_cdrom HALMPS.DLL="$standins/sp/halmps.dll" NTKRNLMP.EXE="$alpha" \
    "${others[@]}" HAL.DLL="$standins/sp/hal.dll" NTOSKRNL.EXE="$standins/sp/ntoskrnl.exe" ||
    { report media-check-alpha 1 "the CD-ROM drive could not be prepared (mscompress?)"; return; }
  expect_refused media-check-alpha "$(fill_in 168 NTKRNLMP.EXE 0x184)"

  # A cabinet under the plain name, as copied from a CD without being expanded: the installer
  # copies it as it is, and it is no program file.
  make_standin_cdrom HALMPS.DLL="$source_dir/tests/fixtures/media/cab-stored.dl_" \
    NTKRNLMP.EXE="$standins/sp/ntkrnlmp.exe" "${others[@]}" HAL.DLL="$standins/sp/hal.dll" \
    NTOSKRNL.EXE="$standins/sp/ntoskrnl.exe" ||
    { report media-check-cabinet 1 "the CD-ROM drive could not be prepared (mscompress?)"; return; }
  expect_refused media-check-cabinet "$(fill_in 166 HALMPS.DLL)"

  local problems=() status
  make_standin_cdrom HALMPS.DLL="$standins/sp/halmps.dll" NTKRNLMP.EXE="$standins/sp/ntkrnlmp.exe" \
    "${others[@]}" HAL.DLL="$standins/sp/hal.dll" NTOSKRNL.EXE="$standins/sp/ntoskrnl.exe" ||
    { report setup-log 1 "the CD-ROM drive could not be prepared (mscompress?)"; return; }
  in_prefix wine "$halshift_exe" upgrade_hal >/dev/null
  status=$?
  [ $status -eq 1 ] || problems+=("exit code $status, expected 1")
  last_session | tr -d '\r' | grep -qxF -- "$(table_text 123 | head -n 1)" ||
    problems+=("the log lacks: $(table_text 123 | head -n 1)")
  # The expected file: the original with the six lines naming the media files and the
  # checksums of the files now installed.
  local expected=$work/setup.log.expected media line
  cp "$original" "$expected"
  chmod u+w "$expected"
  for pair in HALMPS.DLL:HAL.DLL NTKRNLMP.EXE:NTOSKRNL.EXE NTDLL.DLL:NTDLL.DLL \
              KERNEL32.DLL:KERNEL32.DLL WINSRV.DLL:WINSRV.DLL WIN32K.SYS:WIN32K.SYS; do
    media=${pair%%:*}
    name=${pair##*:}
    line="$root_dir\\system32\\${name,,} = \"${media,,}\",\"$(file_checksum "$(installed "$name")")\""
    # Through the environment: awk would read the backslashes of -v values as escapes.
    KEY="$root_dir\\system32\\${name,,} = " LINE=$line \
      awk 'BEGIN { RS = "\r\n"; ORS = "\r\n" } index($0, ENVIRON["KEY"]) == 1 { $0 = ENVIRON["LINE"] } { print }' \
      "$expected" > "$expected.new" && mv "$expected.new" "$expected"
  done
  local setup_now
  setup_now=$(find "$repair" -maxdepth 1 -iname setup.log | head -n 1)
  if ! cmp -s "$expected" "$setup_now"; then
    problems+=("setup.log is not the original with the six lines rewritten:"
               "$(diff <(tr -d '\r' < "$expected") <(tr -d '\r' < "$setup_now"))")
  fi
  cmp -s "$original" "$(find "$repair" -maxdepth 1 -iname setup.orv | head -n 1)" ||
    problems+=("setup.orv does not hold the original setup.log")
  # Read-only is the mode without write permission (root may write whatever the mode).
  (( 0$(stat -c %a "$setup_now") & 0222 )) && problems+=("setup.log is no longer read-only")
  [ -z "$(find "$repair" -maxdepth 1 -iname 'slt*.tmp')" ] || problems+=("temporary files left in the repair folder")
  [ ${#problems[@]} -eq 0 ] || problems+=("last session:" "$(last_session | tr -d '\r' | sed -n '/^Current State/,$p')")

  for file in $system_file_names; do
    find "$system_dir" -maxdepth 1 -iname "$file" -type f -delete
  done
  for file in "$saved"/*; do
    [ -e "$file" ] && cp -p "$file" "$system_dir/"
  done
  report setup-log "${#problems[@]}" "${problems[@]}"
}

# --- run --------------------------------------------------------------------------------

wanted imports && check_imports

if wanted strings || wanted help || wanted log; then
  new_prefix plain
  wanted strings && check_strings
  wanted help && check_help
  wanted log && check_log
fi

if wanted physmem || wanted cores || wanted arcname; then
  new_prefix objects
  keep_server
  wanted physmem && check_physmem
  wanted cores && check_cores
  wanted arcname && check_arcname
fi

# Last, each in a prefix of its own: they replace Wine's own system DLLs with stand-ins.
if wanted upgrade; then
  new_prefix upgrade
  keep_server
  check_upgrade
fi
if wanted flush-order; then
  new_prefix flushorder
  keep_server
  check_flush_order
fi
if wanted servicepack; then
  new_prefix servicepack
  keep_server
  check_servicepack
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
