#!/usr/bin/env bash
# The example machine images: a two-processor machine with the uniprocessor HAL
# (smp-uniprocessor-hal) and a one-processor machine with the multiprocessor HAL
# (up-multiprocessor-hal), both with Windows NT 4.0 Service Pack 6 and its CD in drive D:.
#
#   make-examples.sh
#       regenerates what the repository keeps of them under examples/: machine.ini, the
#       registry, the firmware and the boot loader's files.
#   make-examples.sh complete STANDINS OUTPUT
#       writes the complete images to OUTPUT/<name>: the kept parts, and from the stand-in PE
#       files in STANDINS (built by examples/CMakeLists.txt) the installed system files, the
#       CD's files (most compressed with mscompress, as the real CD keeps them) and
#       WINNT\repair\setup.log naming the installed files with their checksums. The build
#       does this; no Windows binary is kept in the repository.
set -euo pipefail
cd "$(dirname "$0")"
examples_dir=$PWD

# 64 KiB of firmware at 0xF0000 holding a "!SIT" table at offset 0x100 with `processors`
# occupied slots in its type-13 record, and a type-192 record carrying the APIC flag.
write_firmware() {  # file processors apicFlag
  local file=$1 processors=$2 apic=$3 slot
  {
    head -c 256 /dev/zero
    printf '!SIT'
    printf '\x0d\x68'                       # type 13, 104 data bytes: eight slots of 13
    for slot in 0 1 2 3 4 5 6 7; do
      if (( slot < processors )); then
        printf "\\x$(printf '%02x' $((slot + 1)))\\x06"  # processor id, family 6
        head -c 11 /dev/zero
      else
        head -c 13 /dev/zero
      fi
    done
    printf "\\xc0\\x01\\x$(printf '%02x' "$apic")"  # type 192, one byte: bit 0 is the APIC flag
    printf '\x00\x00'                       # type 0 ends the records
  } > "$file.head"
  local used
  used=$(stat -c %s "$file.head")
  { cat "$file.head"; head -c $((65536 - used)) /dev/zero; } > "$file"
  rm -f "$file.head"
}

standin() {  # path text
  mkdir -p "$(dirname "$1")"
  printf '%s\r\n' "$2" > "$1"
}

make_machine() {  # directory processors apic currentType
  local root=$1 processors=$2 apic=$3 currentType=$4
  rm -rf "$root"
  mkdir -p "$root/memory" "$root/drives/C"

  printf '%s\r\n' \
    '[System]' 'Version=4.0' 'Build=1381' 'Platform=NT' 'Administrator=yes' \
    'SystemDirectory=C:\WINNT\System32' '' \
    '[Drives]' 'A=removable' 'C=fixed' 'D=cdrom' '' \
    '[ArcNames]' 'multi(0)disk(0)rdisk(0)partition(1)=\Device\Harddisk0\Partition1' '' \
    '[DosDevices]' 'C:=\Device\Harddisk0\Partition1' 'D:=\Device\CdRom0' '' \
    '[InUse]' 'C:\WINNT\System32\HAL.DLL=' 'C:\WINNT\System32\NTOSKRNL.EXE=' > "$root/machine.ini"

  printf '%s\r\n' 'REGEDIT4' '' \
    '[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion]' \
    "\"CurrentType\"=\"$currentType\"" '"SystemRoot"="C:\\WINNT"' '' \
    '[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Windows]' \
    '"CSDVersion"=dword:00000600' '' \
    '[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\Session Manager]' \
    '"BootExecute"=hex(7):61,75,74,6f,63,68,65,63,6b,20,61,75,74,6f,63,68,6b,20,2a,00,00' \
    > "$root/registry.reg"

  write_firmware "$root/memory/000F0000.bin" "$processors" "$apic"

  printf '%s\r\n' '[boot loader]' 'timeout=30' \
    'default=multi(0)disk(0)rdisk(0)partition(1)\WINNT' '[operating systems]' \
    'multi(0)disk(0)rdisk(0)partition(1)\WINNT="Windows NT Workstation Version 4.00"' \
    'multi(0)disk(0)rdisk(0)partition(1)\WINNT="Windows NT Workstation Version 4.00 [VGA mode]" /basevideo /sos' \
    > "$root/drives/C/BOOT.INI"
  standin "$root/drives/C/NTLDR" "stand-in NTLDR"
  standin "$root/drives/C/NTDETECT.COM" "stand-in NTDETECT.COM"
}

# --- completing an image -----------------------------------------------------------------

# The checksum setup writes for a file: as CheckSumMappedFile computes it, lower-case
# hexadecimal without leading zeros.
checksum() {  # file
  "${PYTHON:-python3}" "$examples_dir/../tests/fixtures/pe/pe_checksum.py" print "$1"
}

# The CD's file under its name, or compressed under the name ending in "_".
media_file() {  # standins directory name compressed(yes/no)
  local standins=$1 directory=$2 name=$3 compressed=$4
  cp "$standins/media/$name" "$directory/$name"
  if [[ $compressed == yes ]]; then
    (cd "$directory" && "${MSCOMPRESS:-mscompress}" "$name" && mv "${name}_" "${name%?}_" && rm "$name")
  fi
}

# setup.log as NT 4.0 setup leaves it for an installation in C:\WINNT: CR LF line ends, the
# HAL and kernel named by the media files they came from, and every system file that
# halshift installs with its checksum. The other lines stand for the many more that a real
# installation lists.
write_setup_log() {  # root kind
  local root=$1 system=$1/drives/C/WINNT/System32 hal=hal.dll kernel=ntoskrnl.exe
  if [[ $2 == multiprocessor ]]; then hal=halmps.dll; kernel=ntkrnlmp.exe; fi
  mkdir -p "$root/drives/C/WINNT/repair"
  local log=$root/drives/C/WINNT/repair/setup.log
  {
    printf '%s\n' '[Paths]' 'TargetDirectory = "\WINNT"' \
      'TargetDevice = "\Device\Harddisk0\partition1"' 'SystemPartitionDirectory = "\"' \
      'SystemPartition = "\Device\Harddisk0\partition1"' '[Signature]' 'Version = "WinNt4.0"' \
      '[Files.SystemPartition]' 'ntldr = "ntldr","2a36b"' 'NTDETECT.COM = "NTDETECT.COM","b69e"' \
      '[Files.WinNt]' '\WINNT\system32\drivers\atapi.sys = "atapi.sys","b1a6"' \
      '\WINNT\system32\drivers\beep.sys = "beep.sys","f7fb"'
    printf '\\WINNT\\system32\\hal.dll = "%s","%s"\n' "$hal" "$(checksum "$system/HAL.DLL")"
    printf '\\WINNT\\system32\\kernel32.dll = "kernel32.dll","%s"\n' "$(checksum "$system/KERNEL32.DLL")"
    printf '\\WINNT\\system32\\ntdll.dll = "ntdll.dll","%s"\n' "$(checksum "$system/NTDLL.DLL")"
    printf '\\WINNT\\system32\\ntoskrnl.exe = "%s","%s"\n' "$kernel" "$(checksum "$system/NTOSKRNL.EXE")"
    printf '\\WINNT\\system32\\win32k.sys = "win32k.sys","%s"\n' "$(checksum "$system/WIN32K.SYS")"
    printf '\\WINNT\\system32\\winsrv.dll = "winsrv.dll","%s"\n' "$(checksum "$system/WINSRV.DLL")"
    printf '%s\n' '\WINNT\system32\vga.dll = "vga.dll","74fd"' \
      '\WINNT\inf\machine.inf = "machine.inf","3c5d"'
  } | sed 's/$/\r/' > "$log"
  # Read-only, so that a rewrite must lift the attribute and give it back.
  chmod a-w "$log"
}

complete_machine() {  # standins output name kind
  local standins=$1 output=$2 name=$3 kind=$4
  local root=$output/$name
  rm -rf "$root"
  cp -r "$examples_dir/$name" "$root"
  local system=$root/drives/C/WINNT/System32 media=$root/drives/D/I386 file
  mkdir -p "$system" "$media"
  cp "$standins/installed-$kind/HAL.DLL" "$standins/installed-$kind/NTOSKRNL.EXE" "$system/"
  for file in NTDLL.DLL KERNEL32.DLL WINSRV.DLL WIN32K.SYS; do
    cp "$standins/installed/$file" "$system/"
  done
  media_file "$standins" "$media" HAL.DLL no
  media_file "$standins" "$media" NTOSKRNL.EXE yes
  media_file "$standins" "$media" HALMPS.DLL yes
  media_file "$standins" "$media" NTKRNLMP.EXE yes
  media_file "$standins" "$media" HALAPIC.DLL yes
  media_file "$standins" "$media" NTDLL.DLL no
  media_file "$standins" "$media" KERNEL32.DLL yes
  media_file "$standins" "$media" WINSRV.DLL no
  media_file "$standins" "$media" WIN32K.SYS yes
  write_setup_log "$root" "$kind"
}

if [[ ${1:-} == complete ]]; then
  [[ $# -eq 3 ]] || { echo "usage: make-examples.sh complete STANDINS OUTPUT" >&2; exit 2; }
  command -v "${MSCOMPRESS:-mscompress}" >/dev/null ||
    { echo "make-examples.sh: mscompress is needed" >&2; exit 1; }
  mkdir -p "$3"
  standins=$(cd "$2" && pwd)
  output=$(cd "$3" && pwd)
  complete_machine "$standins" "$output" smp-uniprocessor-hal uniprocessor
  complete_machine "$standins" "$output" up-multiprocessor-hal multiprocessor
  exit 0
fi
[[ $# -eq 0 ]] || { echo "usage: make-examples.sh [complete STANDINS OUTPUT]" >&2; exit 2; }
make_machine smp-uniprocessor-hal 2 1 "Uniprocessor Free"
make_machine up-multiprocessor-hal 1 0 "Multiprocessor Free"
