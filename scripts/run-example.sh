#!/usr/bin/env bash
# Runs "halshift upgrade_hal enable_recovery" on a fresh copy of the example machine
# smp-uniprocessor-hal and shows what it did: the exit code, the log, the system directory
# before and after, the files scheduled for deletion at the next start, and the BOOT.INI and
# setup.log differences. Ends with one line that says whether the run did what the keywords
# ask for: exit code 0 when it did, 1 when not.
#   usage: scripts/run-example.sh path/to/halshift [keywords...]
# The complete example image (with its stand-in system files, which the build makes) is taken
# from HALSHIFT_EXAMPLES, by default build/linux/examples of the source tree.
set -uo pipefail
if [[ $# -lt 1 || ! -x $1 ]]; then
  echo "usage: $0 path/to/halshift [keywords...]" >&2
  exit 2
fi
halshift=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
shift
keywords=("$@")
[[ ${#keywords[@]} -eq 0 ]] && keywords=(upgrade_hal enable_recovery)

source_dir=$(cd "$(dirname "$0")/.." && pwd)
example=${HALSHIFT_EXAMPLES:-$source_dir/build/linux/examples}/smp-uniprocessor-hal
if [[ ! -f $example/drives/C/WINNT/System32/HAL.DLL ]]; then
  echo "no complete example image at $example: build the halshift_examples target" >&2
  exit 2
fi
work=$(mktemp -d "${TMPDIR:-/tmp}/halshift-example-XXXXXX")
machine=$work/machine
cp -r "$example" "$machine"

# The Windows attributes as the image keeps them: R from the mode, H and S from user.DOSATTRIB.
attributes() {
  local file=$1 flags="" dos
  (( 0$(stat -c %a "$file") & 0222 )) || flags+="R"
  dos=$(getfattr --only-values -n user.DOSATTRIB "$file" 2>/dev/null || true)
  if [[ -n $dos ]]; then
    (( dos & 2 )) && flags+="H"
    (( dos & 4 )) && flags+="S"
  fi
  printf '%s' "${flags:--}"
}

# A string of a stand-in PE file's version resource, which holds it in UTF-16.
version_string() {  # file key
  local key
  key=$(printf '%s' "$2" | sed 's/./&\\x00/g')
  LC_ALL=C grep -aoP "$key\\x00\\x00(\\x00\\x00)?\\K([ -~]\\x00)+" "$1" 2>/dev/null | head -n 1 | tr -d '\0'
}

# What a file is: for a PE file, the name and the version its version resource gives.
describe() {  # file
  if [[ $(head -c 2 "$1") == MZ ]]; then
    printf 'PE file: %s %s' "$(version_string "$1" OriginalFilename)" "$(version_string "$1" FileVersion)"
  else
    head -c 60 "$1" | tr -d '\r\n'
  fi
}

listing() {  # directory (host path)
  local file
  for file in "$1"/*; do
    [[ -f $file ]] || continue
    printf '  %-14s %6s bytes  %-3s  %s\n' "$(basename "$file")" "$(stat -c %s "$file")" \
      "$(attributes "$file")" "$(describe "$file")"
  done
}

pending() {  # registry.reg: PendingFileRenameOperations as its strings
  awk '
    function hexValue(h,   i, v) {
      v = 0; h = tolower(h)
      for (i = 1; i <= length(h); i++) v = v * 16 + index("0123456789abcdef", substr(h, i, 1)) - 1
      return v
    }
    { sub(/\r$/, "") }
    /^\[/ { inSection = (tolower($0) ~ /session manager\]$/) }
    inSection && /^"PendingFileRenameOperations"=/ { collecting = 1 }
    collecting { line = $0; sub(/^"PendingFileRenameOperations"=hex\(7\):/, "", line);
                 continued = sub(/\\[ \t\r]*$/, "", line); sub(/\r$/, "", line); hex = hex line;
                 if (!continued) collecting = 0 }
    END {
      if (hex == "") { print "  (none)"; exit }
      n = split(hex, bytes, ","); text = ""
      for (i = 1; i <= n; i++) {
        gsub(/[ \t]/, "", bytes[i]); if (bytes[i] == "") continue
        value = hexValue(bytes[i])
        if (value == 0) { if (text != "" || last != "") print "  \"" text "\""; last = text; text = "" }
        else text = text sprintf("%c", value)
      }
    }' "$1"
}

system32=$machine/drives/C/WINNT/System32
setup_log=$machine/drives/C/WINNT/repair/setup.log
cp "$machine/drives/C/BOOT.INI" "$work/BOOT.INI.before"
cp "$setup_log" "$work/setup.log.before"
echo "== machine: a copy of the example image smp-uniprocessor-hal"
echo "== C:\\WINNT\\System32 before"
listing "$system32"

echo
echo "== HALSHIFT_MACHINE=<copy> halshift ${keywords[*]}"
HALSHIFT_MACHINE=$machine "$halshift" "${keywords[@]}"
code=$?
echo "== exit code: $code (1: every requested operation succeeded; 0: not, the log says why)"

log=$(find "$machine/drives/C" -ipath '*/orvsystem/log/halshift.log' | head -n 1)
echo
echo "== C:\\orvsystem\\log\\halshift.log"
if [[ -n $log ]]; then tr -d '\r' < "$log"; else echo "  (no log)"; fi

echo
echo "== C:\\WINNT\\System32 after"
listing "$system32"
echo
echo "== PendingFileRenameOperations (deleted at the next start)"
pending "$machine/registry.reg"
echo
echo "== CurrentType: $(grep -i '^"CurrentType"' "$machine/registry.reg" | tr -d '\r')"
echo
echo "== machine.ini [InUse] after"
awk '/^\[/ { show = (tolower($0) ~ /^\[inuse\]/) } show' "$machine/machine.ini" | tr -d '\r'
echo
echo "== diff BOOT.INI before after (attributes now: $(attributes "$machine/drives/C/BOOT.INI"))"
diff <(tr -d '\r' < "$work/BOOT.INI.before") <(tr -d '\r' < "$machine/drives/C/BOOT.INI")
backup=$(find "$machine/drives/C" -maxdepth 1 -iname 'BOOTINI.ORV' | head -n 1)
[[ -n $backup ]] && echo "== BOOTINI.ORV holds the menu as it was: $(cmp -s "$backup" "$work/BOOT.INI.before" && echo yes || echo no)"
echo
echo "== diff C:\\WINNT\\repair\\setup.log before after (attributes now: $(attributes "$setup_log"))"
diff <(tr -d '\r' < "$work/setup.log.before") <(tr -d '\r' < "$setup_log")
setup_backup=$(find "$machine/drives/C/WINNT/repair" -maxdepth 1 -iname 'setup.orv' | head -n 1)
[[ -n $setup_backup ]] && echo "== setup.orv holds setup.log as it was: $(cmp -s "$setup_backup" "$work/setup.log.before" && echo yes || echo no)"
echo
echo "== the machine is left in $machine"

# --- the verdict --------------------------------------------------------------------------

# A text of the program's string table, without the line feed it ends with.
table_text() {
  sed -n "s/^HALSHIFT_STRING($1, \"\\(.*\\)\")\$/\\1/p" "$source_dir/core/strings.inc" | sed 's/\\n$//'
}

# A system file counts as switched when it differs from the example's, or when a rename onto
# it waits for the next start.
switched() {  # switched NAME
  local now
  now=$(find "$system32" -maxdepth 1 -iname "$1" -type f | head -n 1)
  [[ -n $now ]] && ! cmp -s "$now" "$example/drives/C/WINNT/System32/$1" && return 0
  pending "$machine/registry.reg" | awk 'NR % 2 == 0' | grep -qiF "\\$1\""
}

problems=()
achieved=()
[[ $code -eq 1 ]] && achieved+=("exit code 1") || problems+=("exit code $code, not 1")
in_log() { [[ -n $log ]] && tr -d '\r' < "$log" | grep -qxF -- "$1"; }
keyword_line=$(tr '[:lower:]' '[:upper:]' <<<"${keywords[*]}")
expect_logged() {  # expect_logged STRING-ID
  local text
  text=$(table_text "$1")
  if in_log "$text"; then achieved+=("log: \"$text\""); else problems+=("the log lacks \"$text\""); fi
}
expect_switched() {  # expect_switched KIND
  if switched HAL.DLL && switched NTOSKRNL.EXE; then
    achieved+=("the $1 HAL and kernel in place")
  else
    problems+=("HAL.DLL and NTOSKRNL.EXE are neither replaced nor pending")
  fi
}
# setup.log names the media files of the new HAL and kernel, so that a service pack keeps them.
expect_setup_log() {  # expect_setup_log HAL KERNEL (extended regular expressions)
  local lines
  lines=$(tr -d '\r' < "$setup_log")
  if grep -qiE "^\\\\WINNT\\\\system32\\\\hal\\.dll = \"$1\"," <<<"$lines" &&
     grep -qiE "^\\\\WINNT\\\\system32\\\\ntoskrnl\\.exe = \"$2\"," <<<"$lines"; then
    achieved+=("setup.log names the new HAL and kernel")
  else
    problems+=("setup.log does not name the new HAL and kernel")
  fi
}
recovery_line=$(tr -d '\r' < "$machine/drives/C/BOOT.INI" | grep -F '/ORVRCV=1')
case $keyword_line in
  *UPGRADE_HAL*) expect_logged 123; expect_switched multiprocessor; expect_setup_log 'halmps\.dll' 'ntkrnlmp\.exe' ;;
esac
case $keyword_line in
  *DOWNGRADE_HAL*) expect_logged 125; expect_switched uniprocessor; expect_setup_log 'hal(apic)?\.dll' 'ntoskrnl\.exe' ;;
esac
case $keyword_line in
  *ENABLE_RECOVERY*)
    expect_logged 119
    if [[ -n $recovery_line ]]; then achieved+=("the recovery line in BOOT.INI"); else problems+=("BOOT.INI has no recovery line"); fi ;;
esac
case $keyword_line in
  *DISABLE_RECOVERY*)
    expect_logged 121
    if [[ -z $recovery_line ]]; then achieved+=("no recovery line in BOOT.INI"); else problems+=("BOOT.INI still has the recovery line"); fi ;;
esac

joined() {  # joined SEPARATOR ITEM...
  local separator=$1 result=$2
  shift 2
  for item in "$@"; do result+=$separator$item; done
  printf '%s' "$result"
}
echo
if [[ ${#problems[@]} -eq 0 ]]; then
  echo "== OK: halshift ${keywords[*]} did what it should ($(joined ', ' "${achieved[@]}"))"
  exit 0
fi
echo "== FAILED: halshift ${keywords[*]} did not do what it should ($(joined '; ' "${problems[@]}"))"
exit 1
