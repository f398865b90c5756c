#!/usr/bin/env bash
# Installs what building and testing halshift needs on a Debian machine, from Debian's own
# packages. Does nothing when everything is there already. Run as root (or with sudo).
#   scripts/install-deps.sh          everything (Linux build, tests, Win32 build, Wine, fuzzing)
#   scripts/install-deps.sh linux    only what the Linux build and its run need (presets linux,
#                                    linux-asan, linux-release)
#   scripts/install-deps.sh win32    what the Linux build and the win32 preset need
set -euo pipefail

# The example machine images get stand-in system files built with mingw-w64's C compiler and
# windres, checksummed with python3 and compressed with mscompress. Halibut writes the manual
# page, the terminal's Help and the Windows help file from docs/manual/.
# libnbd-dev and qemu-utils (qemu-nbd, qemu-img): the virtual machines' container disks.
# libiso9660 reads media kept as ISO images; ntfs-3g-dev (libntfs-3g) NTFS system partitions.
linux_packages=(cmake ninja-build g++ pkg-config libmspack-dev libiso9660-dev libncurses-dev
                libgtest-dev libgmock-dev libbenchmark-dev attr gcc-mingw-w64-i686-win32 python3
                mscompress halibut libnbd-dev qemu-utils ntfs-3g-dev)
# hivex reads and writes the registry hives of an offline installation.
linux_packages+=(libhivex-dev)
# The win32 preset: mingw-w64's C++ compiler for i686 with the win32 thread model.
win32_packages=(g++-mingw-w64-i686-win32 binutils-mingw-w64-i686)
# Wine's own fonts give the dialogs NT 4.0's "MS Sans Serif"; openbox frames the windows on
# the private X server; DejaVu Sans Mono draws the terminal's picture. dosfstools, mtools and
# fdisk (sfdisk) make the disk tests' images and check them; genisoimage and xorriso make the
# ISO images of the tests; ntfs-3g (mkntfs, ntfscp, ntfsfix, ntfscat, ntfsls) makes and checks
# the NTFS ones.
test_packages=(gcab tmux genisoimage xorriso clang libclang-rt-14-dev mingw-w64 g++-mingw-w64-i686-win32
               wine wine32:i386 fonts-wine xvfb xauth xdotool imagemagick x11-utils
               openbox fonts-dejavu-core dosfstools mtools fdisk ntfs-3g)

packages=("${linux_packages[@]}")
case "${1:-all}" in
  linux) ;;
  win32) packages+=("${win32_packages[@]}") ;;
  *) packages+=("${win32_packages[@]}" "${test_packages[@]}") ;;
esac

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
# Wine runs the 32-bit halshift.exe, which needs Debian's i386 architecture.
if printf '%s\n' "${missing[@]}" | grep -q ':i386$'; then
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${sudo_cmd[@]}" dpkg --add-architecture i386
  fi
fi
echo "installing: ${missing[*]}"
"${sudo_cmd[@]}" apt-get update -q
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
