#!/usr/bin/env bash
# Checks the Windows package: check-package.sh ZIP DIR, with DIR the folder of the halshift.exe
# it was made from. The zip must hold exactly HALSHIFT.EXE (that program), HALSHIFT.HLP and
# HALSHIFT.CNT (the help file beside it), README.TXT (the keywords, CR LF line ends) and
# LICENSE.TXT (the GPL, version 2). Says what is wrong and exits with 1, else exits with 0.
set -euo pipefail
zip=$1 dir=$2
python3 - "$zip" "$dir" <<'PY'
import sys, zipfile, pathlib
zip_path, folder = sys.argv[1], pathlib.Path(sys.argv[2])
wrong = []
try:
    archive = zipfile.ZipFile(zip_path)
except (OSError, zipfile.BadZipFile) as error:
    print(f"{zip_path}: not a zip file ({error})")
    sys.exit(1)
names = sorted(archive.namelist())
wanted = sorted(["HALSHIFT.EXE", "HALSHIFT.HLP", "HALSHIFT.CNT", "README.TXT", "LICENSE.TXT"])
if names != wanted:
    wrong.append(f"holds {names}, not {wanted}")
def member(name):
    try:
        return archive.read(name)
    except KeyError:
        return None
for name, beside in [("HALSHIFT.EXE", "halshift.exe"), ("HALSHIFT.HLP", "HALSHIFT.HLP"),
                     ("HALSHIFT.CNT", "HALSHIFT.CNT")]:
    data = member(name)
    if data is not None and data != (folder / beside).read_bytes():
        wrong.append(f"{name} is not {folder / beside}")
exe = member("HALSHIFT.EXE")
if exe is not None and exe[:2] != b"MZ":
    wrong.append("HALSHIFT.EXE is no program")
hlp = member("HALSHIFT.HLP")
if hlp is not None and hlp[:4] != b"\x3f\x5f\x03\x00":
    wrong.append("HALSHIFT.HLP is no help file")
readme = member("README.TXT")
if readme is not None:
    for keyword in [b"upgrade_hal", b"downgrade_hal", b"enable_recovery", b"disable_recovery"]:
        if keyword not in readme:
            wrong.append(f"README.TXT does not name {keyword.decode()}")
    if b"\n" in readme.replace(b"\r\n", b""):
        wrong.append("README.TXT has lines not ended by CR LF")
licence = member("LICENSE.TXT")
if licence is not None and (b"GNU GENERAL PUBLIC LICENSE" not in licence or b"Version 2, June 1991" not in licence):
    wrong.append("LICENSE.TXT is not the GPL, version 2")
for line in wrong:
    print(f"{zip_path}: {line}")
sys.exit(1 if wrong else 0)
PY
