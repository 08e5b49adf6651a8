#!/bin/bash
# A deliverable imports system libraries only (the compiler runtime is linked
# statically), the library exports exactly the server's entries, and each image has its hardening
# marks: dynamic base, NX, NO_SEH (32-bit, with nothing reaching an SEH frame at %fs:0) or high-entropy
# addresses (64-bit), and TERMINAL_SERVICE_AWARE for a program.
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
    exports=$(echo "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[\s*[0-9]*\] \(+base\[\s*[0-9]*\]\s*[0-9a-f]*\s\+\)\?//p' | sort)
    expected=$(printf '%s\n' "$@" | sort)
    if [ "$exports" != "$expected" ]; then
        printf 'exports differ:\n%s\nexpected:\n%s\n' "$exports" "$expected"; status=1
    fi
fi
marks=(DYNAMIC_BASE NX_COMPAT HIGH_ENTROPY_VA)
if grep -q '(PE32)$' <<<"$dump"; then
    marks[2]=NO_SEH
    "${OBJDUMP:-i686-w64-mingw32-objdump}" -d "$file" | grep -q '%fs:0x0\b' && { echo "NO_SEH, yet it reaches %fs:0"; status=1; }
fi
sed -n '/^Characteristics/,/^$/p' <<<"$dump" | grep -qw DLL || marks+=(TERMINAL_SERVICE_AWARE)
for mark in "${marks[@]}"; do
    sed -n '/^DllCharacteristics/,/^SizeOfStackReserve/p' <<<"$dump" | grep -qw "$mark" || { echo "lacks $mark"; status=1; }
done
[ $status = 0 ] && echo "$(basename "$file"): system imports only${1:+, exports: $*}; ${marks[*]}"
exit $status
