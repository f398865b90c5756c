#!/usr/bin/env bash
# Regenerates the example machine images under examples/: a two-processor machine with the
# uniprocessor HAL (smp-uniprocessor-hal) and a one-processor machine with the multiprocessor
# HAL (up-multiprocessor-hal). System files and media files are small stand-ins, not real
# system binaries; the compressed media files are made with mscompress (SZDD).
set -euo pipefail
cd "$(dirname "$0")"
command -v mscompress >/dev/null || { echo "make-examples.sh: mscompress is needed" >&2; exit 1; }

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

# The media's file under its name, or compressed under the name ending in "_".
media_file() {  # directory name compressed(yes/no) text
  local directory=$1 name=$2 compressed=$3 text=$4
  standin "$directory/$name" "$text"
  if [[ $compressed == yes ]]; then
    (cd "$directory" && mscompress "$name" && mv "${name}_" "${name%?}_" && rm "$name")
  fi
}

make_machine() {  # directory processors apic currentType
  local root=$1 processors=$2 apic=$3 currentType=$4 kind
  rm -rf "$root"
  mkdir -p "$root/memory" "$root/drives/C/WINNT/System32" "$root/drives/D/I386"
  [[ $currentType == "Uniprocessor Free" ]] && kind=uniprocessor || kind=multiprocessor

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

  local system=$root/drives/C/WINNT/System32 name
  standin "$system/HAL.DLL" "stand-in HAL.DLL: installed $kind HAL"
  standin "$system/NTOSKRNL.EXE" "stand-in NTOSKRNL.EXE: installed $kind kernel"
  for name in NTDLL.DLL KERNEL32.DLL WINSRV.DLL WIN32K.SYS; do
    standin "$system/$name" "stand-in $name: installed"
  done

  # An NT 4.0 Service Pack 6 CD: mostly compressed, as the real media keeps them.
  local media=$root/drives/D/I386
  media_file "$media" HAL.DLL no "stand-in HAL.DLL: SP6 uniprocessor HAL"
  media_file "$media" NTOSKRNL.EXE yes "stand-in NTOSKRNL.EXE: SP6 uniprocessor kernel"
  media_file "$media" HALMPS.DLL yes "stand-in HALMPS.DLL: SP6 multiprocessor HAL"
  media_file "$media" NTKRNLMP.EXE yes "stand-in NTKRNLMP.EXE: SP6 multiprocessor kernel"
  media_file "$media" HALAPIC.DLL yes "stand-in HALAPIC.DLL: SP6 uniprocessor APIC HAL"
  media_file "$media" NTDLL.DLL no "stand-in NTDLL.DLL: SP6"
  media_file "$media" KERNEL32.DLL yes "stand-in KERNEL32.DLL: SP6"
  media_file "$media" WINSRV.DLL no "stand-in WINSRV.DLL: SP6"
  media_file "$media" WIN32K.SYS yes "stand-in WIN32K.SYS: SP6"
}

make_machine smp-uniprocessor-hal 2 1 "Uniprocessor Free"
make_machine up-multiprocessor-hal 1 0 "Multiprocessor Free"
