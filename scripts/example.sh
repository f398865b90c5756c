#!/usr/bin/env bash
# The main job on a shipped example: builds the Linux halshift and runs a silent
# "upgrade_hal enable_recovery" on a fresh copy of examples/smp-uniprocessor-hal, then shows
# the log, the changed files and the BOOT.INI difference.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh linux
cmake --preset linux >/dev/null
cmake --build --preset linux -j2 --target halshift
exec bash scripts/run-example.sh build/linux/platform/image/halshift "$@"
