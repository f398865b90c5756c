#!/usr/bin/env bash
# Takes the README's pictures again: the main dialog, the source media prompt and the help
# window of halshift.exe under Wine (tests/wine/gui-test.sh), and the terminal face of the
# Linux build over the example machine (tests/terminal/tmux-test.sh), into docs/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake --preset win32 >/dev/null
cmake --build --preset win32 -j2
cmake --preset linux >/dev/null
cmake --build --preset linux -j2 --target halshift halshift_examples
bash tests/wine/gui-test.sh build/win32 docs
HALSHIFT_SOURCE_DIR=$PWD HALSHIFT_EXAMPLES=$PWD/build/linux/examples \
  sh tests/terminal/tmux-test.sh build/linux/programs/halshift docs/terminal.png
