#!/usr/bin/env bash
# The main job on a shipped example: builds the Linux halshift and the complete example images
# (their stand-in system files are built here with mingw-w64), runs a silent
# "upgrade_hal enable_recovery" on a fresh copy of smp-uniprocessor-hal, then shows the log,
# the changed files and the BOOT.INI and setup.log differences.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh linux
cmake --preset linux >/dev/null
cmake --build --preset linux -j2 --target halshift halshift_examples
HALSHIFT_EXAMPLES=$PWD/build/linux/examples exec bash scripts/run-example.sh \
  build/linux/programs/halshift "$@"
