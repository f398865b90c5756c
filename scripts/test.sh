#!/usr/bin/env bash
# Runs every test of halshift on a fresh Debian machine: installs what is missing, then
#   1. the Linux build and its tests (machine images),
#   2. the same under AddressSanitizer and UndefinedBehaviorSanitizer,
#   3. the Win32 build: its import table, and halshift.exe under Wine set to report NT 4.0,
#   4. the libFuzzer targets, each for a bounded time.
# Ends with one line "N passed, N failed" over everything, and fails when anything failed.
set -uo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
fuzz_seconds=${HALSHIFT_FUZZ_SECONDS:-20}

bash scripts/install-deps.sh || { echo "cannot install the build dependencies"; echo "0 passed, 1 failed"; exit 1; }

passed=0
failed=0
failures=()
count() {  # count NAME PASSED FAILED
  passed=$((passed + $2)); failed=$((failed + $3))
  [ "$3" -eq 0 ] || failures+=("$1")
}

# Runs a CTest preset and adds its counts.
run_ctest() {
  local preset=$1 log
  log=$(mktemp)
  if ! { cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j2; }; then
    echo "== $preset: build failed"; count "$preset build" 0 1; rm -f "$log"; return
  fi
  ctest --preset "$preset" -j2 --timeout 300 2>&1 | tee "$log"
  local line total bad
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1)
  if [ -z "$line" ]; then
    count "$preset ctest" 0 1
  else
    total=$(sed -E 's/.* out of ([0-9]+).*/\1/' <<<"$line")
    bad=$(sed -E 's/.* ([0-9]+) tests failed.*/\1/' <<<"$line")
    count "$preset" $((total - bad)) "$bad"
  fi
  rm -f "$log"
}

# Runs a script whose last line is "N passed, N failed" and adds its counts.
run_counted() {
  local name=$1 log line; shift
  log=$(mktemp)
  "$@" 2>&1 | tee "$log"
  local status=${PIPESTATUS[0]}
  line=$(grep -E '^[0-9]+ passed, [0-9]+ failed' "$log" | tail -n 1)
  if [ -z "$line" ]; then
    count "$name" 0 1
  else
    count "$name" "$(cut -d' ' -f1 <<<"$line")" "$(cut -d' ' -f3 <<<"$line")"
    [ "$status" -eq 0 ] || [ "$(cut -d' ' -f3 <<<"$line")" -ne 0 ] || count "$name exit status" 0 1
  fi
  rm -f "$log"
}

echo "== Linux build and tests"
run_ctest linux
echo "== Linux build and tests under ASan and UBSan"
run_ctest linux-asan

echo "== Win32 build"
if cmake --preset win32 >/dev/null && cmake --build --preset win32 -j2; then
  count "win32 build" 1 0
  exe=build/win32/platform/win32/halshift.exe
  [ -f "$exe" ] || exe=$(find build/win32 -name halshift.exe | head -n 1)
  if bash tests/win32/check-imports.sh "$exe"; then count "win32 imports" 1 0; else count "win32 imports" 0 1; fi
  echo "== halshift.exe under Wine"
  run_counted wine bash tests/wine/run-wine-tests.sh build/win32
  if [ -f tests/wine/gui-test.sh ]; then
    run_counted "wine gui" bash tests/wine/gui-test.sh build/win32
  fi
else
  count "win32 build" 0 1
fi

echo "== Fuzz targets (${fuzz_seconds}s each)"
if cmake --preset fuzz >/dev/null && cmake --build --preset fuzz -j2; then
  run_counted fuzz bash scripts/run-fuzzers.sh build/fuzz "$fuzz_seconds"
else
  count "fuzz build" 0 1
fi

echo
[ ${#failures[@]} -eq 0 ] || echo "failed: ${failures[*]}"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
