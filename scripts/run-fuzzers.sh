#!/usr/bin/env bash
# Runs every libFuzzer program (*_fuzz) of a build directory for a bounded time, each on a
# copy of its seed corpus fuzz/corpus/<name without _fuzz>/, in a temporary directory, so that
# the source tree is never written. Prints one line per target and a final "N passed, N
# failed" line; fails when any target crashed or could not be run.
#   scripts/run-fuzzers.sh BUILD_DIR SECONDS
set -uo pipefail

if [ $# -ne 2 ] || ! [[ $2 =~ ^[0-9]+$ ]]; then
  echo "usage: $0 BUILD_DIR SECONDS" >&2
  echo "0 passed, 1 failed"
  exit 2
fi
build_dir=$1
seconds=$2
corpus_root="$(cd "$(dirname "$0")/.." && pwd)/fuzz/corpus"

work=$(mktemp -d "${TMPDIR:-/tmp}/halshift-fuzz.XXXXXX") || { echo "0 passed, 1 failed"; exit 1; }
trap 'rm -rf "$work"' EXIT

targets=()
while IFS= read -r program; do
  [ -x "$program" ] && targets+=("$program")
done < <(find "$build_dir" \( -type f -o -type l \) -name '*_fuzz' 2>/dev/null | sort)
if [ ${#targets[@]} -eq 0 ]; then
  echo "no *_fuzz programs under $build_dir"
  echo "0 passed, 1 failed"
  exit 1
fi

passed=0
failed=0
for target in "${targets[@]}"; do
  name=$(basename "$target")
  seeds="$corpus_root/${name%_fuzz}"
  corpus="$work/$name/corpus"
  artifacts="$work/$name/artifacts/"
  mkdir -p "$corpus" "$artifacts"
  [ -d "$seeds" ] && cp -R "$seeds/." "$corpus/"
  log="$work/$name/log"
  # The artifacts and the grown corpus stay in the temporary directory.
  if "$target" -max_total_time="$seconds" -artifact_prefix="$artifacts" "$corpus" >"$log" 2>&1; then
    runs=$(grep -Eo '^#[0-9]+' "$log" | tail -n 1)
    echo "PASS $name (${runs:-#?} runs in ${seconds}s)"
    passed=$((passed + 1))
  else
    echo "FAIL $name"
    grep -E 'ERROR|SUMMARY|deadly signal|Test unit written' "$log" | head -n 5 | sed 's/^/    /'
    # Keep the crashing input where it can be looked at after this script has cleaned up.
    for crash in "$artifacts"*; do
      [ -f "$crash" ] || continue
      kept="${TMPDIR:-/tmp}/$name-$(basename "$crash")"
      cp "$crash" "$kept" && echo "    input kept as $kept"
    done
    failed=$((failed + 1))
  fi
done

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
