#!/bin/sh
# Runs an arm64 program of a cross build under qemu-aarch64 (qemu-user),
# with the arm64 multiarch loader and C library (libc6:arm64), that is
# without -L: the cross compiler's older loader paired with the multiarch C
# library makes every pthread_create and fork spin forever.
#
# GoogleTest's threadsafe death tests re-execute their own argv[0], which
# the kernel cannot run without binfmt_misc: a program started through this
# script gets, as argv[0], a small script beside it in a scratch directory
# that runs it through this script again.
set -eu
program=$1
shift
case "$program" in
  /*) ;;
  *) program=$(pwd)/$program ;;
esac
wrappers=${TMPDIR:-/tmp}/qemu-aarch64-wrappers.$(id -u)
mkdir -p "$wrappers"
wrapper=$wrappers/$(printf '%s' "$program" | cksum | cut -d' ' -f1)-$(basename "$program")
if [ ! -x "$wrapper" ]; then
  temporary=$wrapper.$$
  printf '#!/bin/sh\nexec "%s" "%s" "$@"\n' "$0" "$program" >"$temporary"
  chmod +x "$temporary"
  mv -f "$temporary" "$wrapper"
fi
exec qemu-aarch64 -0 "$wrapper" "$program" "$@"
