#!/bin/bash
# Both builds of the library registered side by side in a 64-bit prefix, each
# with the regsvr32 of its own bitness, as on 64-bit Windows.  The 32-bit and
# the 64-bit script host each run scripts/host.vbs.  Unregistering either build
# removes only its own entries: the other host keeps working and this one gets
# error 429; the entries both share go with the last build.  First each build
# alone: unregistered, it leaves nothing in either registry view.  With "user",
# the same for the current user's registration (regsvr32 /n /i:user).
# usage: side-by-side.sh <wine-run of the 64-bit prefix> <dist folder> [user]
set -u
"$(dirname "$0")/../tools/runs-32-bit" >/dev/null || { echo "SKIPPED: this machine cannot run 32-bit programs"; exit 77; }
run="$1"
dist="$2"
windows_path() { local path="Z:$1"; echo "${path//\//\\}"; }
lib32="$(windows_path "$dist/IMV_v11.dll")"
lib64="$(windows_path "$dist/x64/IMV_v11.dll")"
script="$(windows_path "$(cd "$(dirname "$0")" && pwd)/scripts/host.vbs")"
libid='{D6A26E2E-6BBE-41C9-8599-8DD41551C218}'
hive=HKLM flags=()
[ "${3:-}" = user ] && hive=HKCU flags=(/n /i:user)
classes64="$hive\\Software\\Classes"
classes32="$classes64\\Wow6432Node"
status=0

fail() { echo "FAILED ($when): $*"; status=1; }

system() { # <bits> <program> <arguments>...: a system program of that bitness
    local folder=system32
    [ "$1" = 32 ] && folder=syswow64
    "$run" "C:\\windows\\$folder\\$2.exe" "${@:3}"
}
regsvr32() { system "$1" regsvr32 /s "${flags[@]}" "${@:2}" || fail "regsvr32 $* exited with $?"; } # <bits> [/u] <dll>
reg() { system "$1" reg "${@:2}" >/dev/null 2>&1; }

# host <bits> works|429
host() {
    local arch=AMD64 output entry
    [ "$1" = 32 ] && arch=x86
    # Wine does not merge the user's classes over the machine's, as Windows
    # does for the user's processes: for the run, the user's entries are
    # copied into the machine's classes in the host's view.
    for entry in "${registered[@]}"; do
        [ $hive = HKCU ] && reg "$1" copy "$classes64$entry" "HKLM\\Software\\Classes$entry" /s /f
    done
    output="$(system "$1" cscript //nologo "$script" | tr -d '\r')"
    for entry in "${registered[@]}"; do [ $hive = HKCU ] && reg "$1" delete "HKLM\\Software\\Classes$entry" /f; done
    if [ "$(head -n1 <<<"$output")" != "host $arch" ]; then
        fail "the $1-bit script host did not run"
    elif [ "$2" = works ]; then
        [ "$(tail -n1 <<<"$output")" = "all checks passed" ] || fail "the $1-bit host:"$'\n'"$output"
    elif [ "$(tail -n1 <<<"$output")" != "CreateObject: error 429" ]; then
        fail "the $1-bit host should get error 429:"$'\n'"$output"
    fi
}

# key present|absent <path>...
key() {
    local want="$1" path
    shift
    for path in "$@"; do
        if "$run" reg query "$path" >/dev/null 2>&1; then
            [ "$want" = present ] || fail "$path is still there"
        else
            [ "$want" = absent ] || fail "$path is gone"
        fi
    done
}
class() { echo "$1\\CLSID\\{4E5ED605-F42D-46B8-94A2-CC3A9E8BF3BE}"; }
interface() { echo "$1\\Interface\\{01D2A7AD-31F2-44D2-96D4-435860853CE4}"; }
registered=("$(class "")" '\IMV_v11.CLibrary' "\\TypeLib\\$libid" "$(interface "")")
progid="$classes64\\IMV_v11.CLibrary"
typelib="$classes64\\TypeLib\\$libid\\1.0"

# Whatever an earlier run left registered, for the machine and for the user.
for scope in "" "/n /i:user"; do
    system 64 regsvr32 /s /u $scope "$lib64"
    system 32 regsvr32 /s /u $scope "$lib32"
done

# The 64-bit build stays registered for the machine, as the prefix's other tests expect.
finish() {
    flags=()
    regsvr32 64 "$lib64"
    [ $status = 0 ] && echo "side by side ($hive): every check passed"
    exit $status
}

# Windows keeps the user's CLSID and Interface keys per view, as the machine's;
# Wine keeps one of each for both bitnesses.
if [ $hive = HKCU ] && reg 32 add "$(class "$classes64")\\probe" /f && ! reg 64 query "$(class "$classes32")\\probe"; then
    echo "Wine does not redirect the user's classes by bitness: one class key serves both builds here"
    classes32="$classes64"
fi
[ $hive = HKCU ] && reg 32 delete "$(class "$classes64")" /f
library() { if [ "$1" = 32 ]; then echo "$lib32"; else echo "$lib64"; fi; }
classes() { if [ "$1" = 32 ]; then echo "$classes32"; else echo "$classes64"; fi; }
everything=("$(class "$classes32")" "$(class "$classes64")" "$progid" "$classes64\\TypeLib\\$libid" "$(interface "$classes32")" "$(interface "$classes64")")

for pair in "32 64" "64 32"; do
    set -- $pair
    when="$1-bit build registered alone"
    regsvr32 "$1" "$(library "$1")"
    key present "$(class "$(classes "$1")")" "$progid" "$typelib\\409\\win$1" "$typelib\\0\\win$1" \
        "$(interface "$classes32")" "$(interface "$classes64")"
    [ $hive = HKCU ] && key absent "${registered[@]/#/HKLM\\Software\\Classes}" "${registered[@]/#/HKLM\\Software\\Classes\\Wow6432Node}"
    host "$1" works
    host "$2" 429
    regsvr32 "$1" /u "$(library "$1")"
    key absent "${everything[@]}"
done
if [ "$classes32" = "$classes64" ]; then
    echo "SKIPPED: both builds for one user, which needs Windows' per-view user classes"
    finish
fi

when="both registered"
regsvr32 32 "$lib32"
regsvr32 64 "$lib64"
key present "$(class "$classes32")" "$(class "$classes64")" "$progid" "$typelib\\409\\win32" "$typelib\\409\\win64" \
    "$typelib\\0\\win32" "$typelib\\0\\win64" \
    "$(interface "$classes32")" "$(interface "$classes64")"
host 32 works
host 64 works

# Each build unregistered in turn: it removes only its own entries.
for pair in "32 64" "64 32"; do
    set -- $pair
    when="$1-bit build unregistered"
    regsvr32 "$1" /u "$(library "$1")"
    key absent "$(class "$(classes "$1")")" "$typelib\\409\\win$1" "$typelib\\0\\win$1"
    key present "$(class "$(classes "$2")")" "$progid" "$typelib\\409\\win$2" "$(interface "$(classes "$2")")"
    host "$2" works
    host "$1" 429

    when="$1-bit build registered again"
    regsvr32 "$1" "$(library "$1")"
    host "$1" works
    host "$2" works
done

when="both unregistered"
regsvr32 32 /u "$lib32"
regsvr32 64 /u "$lib64"
key absent "${everything[@]}"
host 32 429
host 64 429
finish
