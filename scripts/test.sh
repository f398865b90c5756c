#!/usr/bin/env bash
# Runs every test of halshift on a fresh Debian machine: installs what is missing, then builds
# every preset of CMakePresets.json and runs
#   1. the Linux build and its tests (machine images),
#   2. the same under AddressSanitizer and UndefinedBehaviorSanitizer,
#   3. the optimised build's benchmarks, each once and briefly (it proves they run; the
#      figures are not judged here),
#   4. the Win32 build: its import table and size, the package halshift-<version>-win32.zip,
#      and halshift.exe under Wine set to report NT 4.0,
#   5. the libFuzzer targets, each for a bounded time.
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

# One check that passes when the command exits with the status given.
check() {  # check NAME STATUS COMMAND...
  local name=$1 expected=$2 status
  shift 2
  "$@"
  status=$?
  if [ "$status" -eq "$expected" ]; then count "$name" 1 0; else count "$name" 0 1; fi
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

echo "== Optimised build and its benchmarks"
if cmake --preset linux-release >/dev/null && cmake --build --preset linux-release -j2; then
  count "linux-release build" 1 0
  benchmarks=$(find build/linux-release/bench -maxdepth 1 -name '*_bench' -type f -executable | sort)
  [ -n "$benchmarks" ] || count "benchmarks built" 0 1
  for benchmark in $benchmarks; do
    # A benchmark that cannot do its work reports "ERROR OCCURRED" and still exits with 0.
    check "$(basename "$benchmark")" 0 bash -c \
      'out=$(timeout 300 "$1" --benchmark_min_time=0.01 2>&1); status=$?; printf "%s\n" "$out"
       [ $status -eq 0 ] && ! grep -q "ERROR OCCURRED" <<<"$out"' _ "$benchmark"
  done
else
  count "linux-release build" 0 1
fi

echo "== Win32 build"
if cmake --preset win32 >/dev/null && cmake --build --preset win32 -j2; then
  count "win32 build" 1 0
  exe=build/win32/programs/halshift.exe
  [ -f "$exe" ] || exe=$(find build/win32 -name halshift.exe | head -n 1)
  check "win32 imports" 0 bash tests/win32/check-imports.sh "$exe"
  check "win32 size" 0 sh tests/win32/check-size.sh "$exe"
  # The size check must take a file of its limit, 512 KiB, and refuse one a byte larger.
  sized=$(mktemp)
  head -c $((512 * 1024)) /dev/zero > "$sized"
  check "win32 size check takes 512 KiB" 0 sh tests/win32/check-size.sh "$sized"
  printf x >> "$sized"
  check "win32 size check refuses 512 KiB and a byte" 1 sh tests/win32/check-size.sh "$sized"
  rm -f "$sized"
  # The package to hand out, and a check that refuses one without its help file.
  package=$(ls build/win32/halshift-*-win32.zip 2>/dev/null | head -n 1)
  check "win32 package" 0 bash tests/win32/check-package.sh "${package:-build/win32/halshift-win32.zip}" "$(dirname "$exe")"
  if [ -n "$package" ]; then
    short=$(mktemp -d)
    python3 -c 'import sys, zipfile; a = zipfile.ZipFile(sys.argv[1]); b = zipfile.ZipFile(sys.argv[2], "w"); [b.writestr(i, a.read(i)) for i in a.namelist() if i != "HALSHIFT.HLP"]' "$package" "$short/short.zip"
    check "win32 package check refuses a zip without HALSHIFT.HLP" 1 bash tests/win32/check-package.sh "$short/short.zip" "$(dirname "$exe")"
    rm -rf "$short"
  fi
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
  count "fuzz build" 1 0
  run_counted fuzz bash scripts/run-fuzzers.sh build/fuzz "$fuzz_seconds"
else
  count "fuzz build" 0 1
fi

echo
[ ${#failures[@]} -eq 0 ] || echo "failed: ${failures[*]}"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
