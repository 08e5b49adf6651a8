#!/bin/bash
# A deliverable imports system libraries only (the compiler runtime is linked
# statically), for the library exports exactly the server's entries, and
# carries the hardening marks of its kind: every image dynamic base and NX; a
# 32-bit image NO_SEH, and no instruction that reaches an SEH frame (%fs:0);
# a 64-bit one high-entropy addresses; a program TERMINAL_SERVICE_AWARE.
# usage: [OBJDUMP=<objdump of the target>] check-binary.sh <file> [exports...]
set -u
file="$1"; shift
dump=$("${OBJDUMP:-i686-w64-mingw32-objdump}" -p "$file") || exit 1
status=0
shopt -s nocasematch
system='^(ADVAPI32|KERNEL32|USER32|GDI32|SHELL32|OLE32|OLEAUT32|msvcrt|COMCTL32|VERSION|ntdll)\.dll$'
while read -r dll; do
    if ! [[ "$dll" =~ $system ]]; then echo "imports a non-system library: $dll"; status=1; fi
done < <(echo "$dump" | sed -n 's/^\s*DLL Name: //p')
if [ $# -gt 0 ]; then
    exports=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[\s*[0-9]*\] //p' | sort)
    expected=$(printf '%s\n' "$@" | sort)
    if [ "$exports" != "$expected" ]; then
        printf 'exports differ:\n%s\nexpected:\n%s\n' "$exports" "$expected"; status=1
    fi
fi
marks=(DYNAMIC_BASE NX_COMPAT)
if echo "$dump" | grep -q '(PE32)$'; then
    marks+=(NO_SEH)
    frames=$("${OBJDUMP:-i686-w64-mingw32-objdump}" -d "$file" | grep -c '%fs:0x0\b') || true
    if [ "$frames" != 0 ]; then echo "NO_SEH, yet $frames instructions reach %fs:0"; status=1; fi
else
    marks+=(HIGH_ENTROPY_VA)
fi
echo "$dump" | sed -n '/^Characteristics/,/^$/p' | grep -qw DLL || marks+=(TERMINAL_SERVICE_AWARE)
flags=$(echo "$dump" | sed -n '/^DllCharacteristics/,/^SizeOfStackReserve/p')
for mark in "${marks[@]}"; do
    grep -qw "$mark" <<<"$flags" || { echo "lacks $mark"; status=1; }
done
[ $status = 0 ] && echo "$(basename "$file"): system imports only${1:+, exports: $*}; ${marks[*]}"
exit $status
