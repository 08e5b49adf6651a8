#!/bin/bash
# A deliverable imports system libraries only (the compiler runtime is linked
# statically) and, for the library, exports exactly the four server entries.
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
[ $status = 0 ] && echo "$(basename "$file"): system imports only${1:+, exports: $*}"
exit $status
