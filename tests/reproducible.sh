#!/bin/bash
# The sources, copied under another path and built again (in the build's own
# prefix: a new one takes longer than the build), give dist's bytes.
# usage: reproducible.sh <sources> <dist> <toolchain file name> <build type> <Wine prefix> <target>...
set -eEu
trap 'echo "FAILED at line $LINENO: $BASH_COMMAND"' ERR
src="$1"; dist="$2"; toolchain="$3"; type="$4"; prefix="$5"; shift 5
work=$(mktemp -d "${TMPDIR:-/tmp}/another build.XXXXXX"); trap 'rm -rf "$work"' EXIT
mkdir "$work/src"
git -C "$src" ls-files -z --cached --others --exclude-standard | tar -C "$src" --null -T - -cf - | tar -C "$work/src" -xf -
cmake -S "$work/src" -B "$work/build" -DCMAKE_TOOLCHAIN_FILE="$work/src/cmake/$toolchain" -DCMAKE_BUILD_TYPE="$type" -DWINE_PREFIX="$prefix" >/dev/null
cmake --build "$work/build" -j2 --target "$@" >/dev/null
cd "$work/src/dist"
files=$(find . -type f -printf '%P\n')
for file in $files; do cmp "$file" "$dist/$file"; done
echo "built again under another path, the same bytes:" $files
