#!/bin/bash
# The release's x64 package, installed silently in a 64-bit prefix, writes what regsvr32 of each build does,
# serves both script hosts, and removed leaves nothing.  Wine installs per machine even when asked per
# user, so the tables show that case: rows in the classes root, the program files folder.
# usage: packages.sh <wine-run of the 64-bit prefix> <dist folder> <x86 wxi> <x64 wxi>
set -u
root="$(cd "$(dirname "$0")/.." && pwd)" run="$1" dist="$2" folder='C:\Program Files\Marvisto' status=0
"$root/tools/runs-32-bit" >/dev/null && [ -f "$dist/IMV_v11.dll" ] || { echo "SKIPPED: no 32-bit programs here"; exit 77; }
windows_path() { local path="Z:$1"; echo "${path//\//\\}"; }
lib32="$(windows_path "$dist/IMV_v11.dll")" lib64="$(windows_path "$dist/x64/IMV_v11.dll")"
fail() { echo "FAILED ($when): $*"; status=1; }
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
"$root/tools/release" "$dist" "$work/out" "$3" "$4" >/dev/null || exit 1
version=$(sed -n 's/.*<assemblyIdentity [^>]* version="\([0-9.]*\)".*/\1/p' "$dist/IMV_v11.manifest")
package="$(windows_path "$work/out/Marvisto-$version-x64.msi")" when="the packages' tables"
unzip -q "$work/out/Marvisto-$version.zip" x86/\* x64/\* GUIDE.txt -d "$work/stage"

table() { msiinfo export "$work/out/Marvisto-$version-$1.msi" "$2" | tr -d '\r' | tail -n +4; } # <platform> <table>
for platform in x86 x64; do
    programs=ProgramFilesFolder && [ $platform = x64 ] && programs=ProgramFiles64Folder
    [ "$(table $platform Registry | cut -f2 | sort -u)" = 0 ] || fail "$platform: rows outside the classes root"
    table $platform Directory | grep -qx "INSTALLFOLDER	$programs	Marvisto" || fail "$platform: not below $programs"
    [ "$(table $platform Property | grep -e ^ALLUSERS -e ^MSIINSTALLPERUSER)" = "ALLUSERS	2" ] || fail "$platform: not dual-purpose"
done

system() { local dir=system32; [ "$1" = 32 ] && dir=syswow64; "$run" "C:\\windows\\$dir\\$2.exe" "${@:3}"; }
regsvr32() { system "$1" regsvr32 /s "${@:2}" || fail "regsvr32 $* exited with $?"; } # <bits> [/u] <dll>
msiexec() { system 64 msiexec "$1" "$package" /qn || fail "msiexec $1 exited with $?"; }
host() { local output="$(system "$1" cscript //nologo "$(windows_path "$root/tests/scripts/host.vbs")" | tr -d '\r')"
    [ "$(tail -n1 <<<"$output")" = "all checks passed" ] || fail "the $1-bit host:"$'\n'"$output"; } # <bits>
tree() { # <32-bit library> <64-bit library>: the library's keys in both views, the libraries named by their build
    local key dump=""
    for key in {,Wow6432Node\\}{'CLSID\{4E5ED605-F42D-46B8-94A2-CC3A9E8BF3BE}','Interface\{01D2A7AD-31F2-44D2-96D4-435860853CE4}',IMV_v11.CLibrary,'TypeLib\{D6A26E2E-6BBE-41C9-8599-8DD41551C218}'}; do
        "$run" reg query "HKLM\\Software\\Classes\\$key" /s >"$work/key" 2>&1 && dump+="$(tr -d '\r' <"$work/key")"$'\n'
    done
    dump=${dump//"$1"/<32-bit library>} && echo "${dump//"$2"/<64-bit library>}"
}
files() { "$run" cmd /c dir /s /b "$folder" 2>/dev/null | tr -d '\r' | sort; }

when="regsvr32 of both builds"
system 64 msiexec /x "$package" /qn >/dev/null 2>&1 # an earlier run's installation
for scope in "" "/n /i:user"; do system 64 regsvr32 /s /u $scope "$lib64"; system 32 regsvr32 /s /u $scope "$lib32"; done
regsvr32 32 "$lib32" && regsvr32 64 "$lib64"
expected="$(tree "$lib32" "$lib64")"
regsvr32 32 /u "$lib32" && regsvr32 64 /u "$lib64"

when="x64 package installed" && msiexec /i
installed="$(tree "$folder\\x86\\IMV_v11.dll" "$folder\\x64\\IMV_v11.dll")"
[ "$installed" = "$expected" ] || fail "not regsvr32's registry (<) but (>):"$'\n'"$(diff <(echo "$expected") <(echo "$installed"))"
staged=$(cd "$work/stage" && find . -mindepth 1 | while read -r file; do file=${file#.}; echo "$folder${file//\//\\}"; done | sort)
[ "$(files)" = "$staged" ] || fail "installed files:"$'\n'"$(files)"
host 32 && host 64

when="x64 package removed" && msiexec /x
[ -z "$(tree "$lib32" "$lib64")" ] || fail "left in the registry:"$'\n'"$(tree "$lib32" "$lib64")"
[ -z "$(files)" ] || fail "left on disk: $(files)"
regsvr32 64 "$lib64" # as the prefix's other tests expect
exit $status
