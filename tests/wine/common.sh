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
