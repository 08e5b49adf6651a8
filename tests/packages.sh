#!/bin/bash
# The release's package for the prefix's Windows, installed silently, writes what regsvr32 of each of its
# builds does, serves the script hosts, and removed leaves nothing; in a 64-bit prefix the x86 package is
# refused and leaves the x64 product as it was; the same package with other product and package codes (the
# next build's) replaces the installed product.  Wine installs per machine even when asked per user, so the
# tables show that case: rows in the classes root, the program files folders.
# usage: packages.sh <wine-run> <win32|win64> <dist folder> <x86 wxi> <x64 wxi>
set -u
root="$(cd "$(dirname "$0")/.." && pwd)" run="$1" dist="$3" status=0
"$root/tools/runs-32-bit" >/dev/null && [ -f "$dist/IMV_v11.dll" ] || { echo "SKIPPED: no 32-bit programs here"; exit 77; }
windows_path() { local path="Z:$1"; echo "${path//\//\\}"; }
lib=([32]="$(windows_path "$dist/IMV_v11.dll")" [64]="$(windows_path "$dist/x64/IMV_v11.dll")")
windows=x64 own=64 programs32='C:\Program Files (x86)' programs='C:\Program Files'
[ "$2" = win32 ] && windows=x86 own=32 programs32=$programs && unset 'lib[64]'
fail() { echo "FAILED ($when): $*"; status=1; }
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
"$root/tools/release" "$dist" "$work/out" "$4" "$5" >/dev/null || exit 1
version=$(sed -n 's/.*<assemblyIdentity [^>]* version="\([0-9.]*\)".*/\1/p' "$dist/IMV_v11.manifest")
package="$(windows_path "$work/out/Marvisto-$version-$windows.msi")" when="the packages' tables"
unzip -q "$work/out/Marvisto-$version.zip" x86/\* GUIDE.txt $([ $windows = x64 ] && echo x64/\*) -d "$work/stage"
table() { msiinfo export "$work/out/Marvisto-$version-$1.msi" "$2" | tr -d '\r' | tail -n +4; } # <platform> <table>
product=$(table $windows Property | sed -n 's/^ProductCode\t//p') next={5D265F59-0000-4000-8000-000000000001}
cp "$work/out/Marvisto-$version-$windows.msi" "$work/next.msi" && msibuild "$work/next.msi" -q "UPDATE Property SET Value = '$next'
    WHERE Property = 'ProductCode'" -s "Marvisto support library" Marvisto "$(msiinfo suminfo "$work/next.msi" | sed -n 's/^Template: //p')" \
    {5D265F59-0000-4000-8000-000000000002} >/dev/null || fail "cannot make the next build's package"

# The tables against Windows Installer's rules, and the release's refusal of a package that breaks
# them: a wixl that makes every component 64-bit in a package for x64, as 0.102 does without Win64.
"$root/tools/msi-check" "$work/out/Marvisto-$version-x86.msi" "$work/out/Marvisto-$version-x64.msi" 2>"$work/broken" ||
    fail "$(cat "$work/broken")"
build=1.1.$(git -C "$root" rev-list --count --first-parent HEAD)
for platform in x86 x64; do
    [ "$(table $platform File | awk -F'\t' '$3 ~ /\.dll$/ { print $5, $6 }' | sort -u)" = "1.1.0.0 3082" ] &&
        table $platform Property | grep -qx "ProductVersion	$build" && table $platform Upgrade |
        grep -qx "{5D265F59-18A1-4F9F-9096-02454BC4DCAB}		$build		513		WIX_UPGRADE_DETECTED" ||
        fail "$platform: the libraries not 1.1.0.0 in language 3082, or the product not $build replacing up to itself"
done
when="a package with a 32-bit component made 64-bit" && mkdir "$work/bin" && cat >"$work/bin/wixl" <<EOF && chmod +x "$work/bin/wixl"
#!/bin/bash
[ "\$2" = x64 ] && sed -i 's/Win64="no"/Win64="yes"/' "\${@: -1}"
exec $(command -v wixl) "\$@"
EOF
PATH="$work/bin:$PATH" "$root/tools/release" "$dist" "$work/refused" "$4" "$5" >/dev/null 2>"$work/broken" && fail "released"
grep -qx "msi-check: Marvisto-$version-x64\.msi: a 64-bit component in a folder of the other bitness: x86\.files" "$work/broken" &&
    [ -z "$(ls "$work/refused")" ] || fail "not refused for its rule, or left $(ls "$work/refused"):"$'\n'"$(cat "$work/broken")"

system() { local dir=system32; [ "$1" = 32 ] && [ $windows = x64 ] && dir=syswow64; "$run" "C:\\windows\\$dir\\$2.exe" "${@:3}"; }
regsvr32() { system "$1" regsvr32 /s "${@:2}" || fail "regsvr32 $* exited with $?"; } # <bits> [/u] <dll>
msiexec() { system $own msiexec "$1" "$package" /qn || fail "msiexec $1 exited with $?"; }
host() { local output="$(system "$1" cscript //nologo "$(windows_path "$root/tests/scripts/host.vbs")" | tr -d '\r')"
    [ "$(tail -n1 <<<"$output")" = "all checks passed" ] || fail "the $1-bit host:"$'\n'"$output"; } # <bits>
tree() { # <32-bit library> <64-bit library>: the library's keys in both views, the libraries named by their build
    local key dump=""
    for key in {,Wow6432Node\\}{'CLSID\{4E5ED605-F42D-46B8-94A2-CC3A9E8BF3BE}','Interface\{01D2A7AD-31F2-44D2-96D4-435860853CE4}',IMV_v11.CLibrary,'TypeLib\{D6A26E2E-6BBE-41C9-8599-8DD41551C218}'}; do
        "$run" reg query "HKLM\\Software\\Classes\\$key" /s >"$work/key" 2>&1 && dump+="$(tr -d '\r' <"$work/key")"$'\n'
    done
    dump=${dump//"$1"/<32-bit library>} && echo "${dump//"$2"/<64-bit library>}"
}
files() { "$run" cmd /c dir /s /b "$programs32\\Marvisto" "$programs\\Marvisto" 2>/dev/null | tr -d '\r' | sort -u; }

when="regsvr32 of each build"
for earlier in "$package" "$(windows_path "$work/next.msi")"; do system $own msiexec /x "$earlier" /qn >/dev/null 2>&1; done # an earlier run's
for bits in "${!lib[@]}"; do for scope in "" "/n /i:user"; do system $bits regsvr32 /s /u $scope "${lib[$bits]}"; done; done
for bits in "${!lib[@]}"; do regsvr32 $bits "${lib[$bits]}"; done
expected="$(tree "${lib[32]}" "${lib[64]:-}")"
for bits in "${!lib[@]}"; do regsvr32 $bits /u "${lib[$bits]}"; done

when="$windows package installed" && msiexec /i
installed="$(tree "$programs32\\Marvisto\\x86\\IMV_v11.dll" "$programs\\Marvisto\\x64\\IMV_v11.dll")"
[ "$installed" = "$expected" ] || fail "not regsvr32's registry (<) but (>):"$'\n'"$(diff <(echo "$expected") <(echo "$installed"))"
staged=$(cd "$work/stage" && find . -mindepth 1 -printf '%P\n' | while read -r file; do
    folder=$programs && [[ $file == x86* ]] && folder=$programs32; echo "$folder\\Marvisto\\${file//\//\\}"; done | sort)
[ "$(files)" = "$staged" ] || fail "installed files:"$'\n'"$(files)"
for bits in "${!lib[@]}"; do host $bits; done

if [ $windows = x64 ]; then
    when="x86 package tried on 64-bit Windows"
    system 64 msiexec /i "$(windows_path "$work/out/Marvisto-$version-x86.msi")" /qn /l*v "$(windows_path "$work/x86.log")"
    refused=$? # 1603, ERROR_INSTALL_FAILURE, in the 8 bits of an exit status
    [ $refused = $((1603 % 256)) ] && tr -d '\0\r' <"$work/x86.log" | grep 'Action start' | tail -n1 | grep -q LaunchConditions ||
        fail "not refused by its launch condition (exit code $refused):"$'\n'"$(tr -d '\0\r' <"$work/x86.log")"
    [ "$(tree "$programs32\\Marvisto\\x86\\IMV_v11.dll" "$programs\\Marvisto\\x64\\IMV_v11.dll")" = "$installed" ] &&
        [ "$(files)" = "$staged" ] || fail "the x64 product changed:"$'\n'"$(files)"
fi

when="the next build's package installed over it" && package="$(windows_path "$work/next.msi")" && msiexec /i
products() { "$run" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' | tr -d '\r' | grep -o -e "$product" -e "$next"; }
[ "$(products)" = "$next" ] || fail "installed products: $(products)"
[ "$(tree "$programs32\\Marvisto\\x86\\IMV_v11.dll" "$programs\\Marvisto\\x64\\IMV_v11.dll")" = "$installed" ] &&
    [ "$(files)" = "$staged" ] || fail "not the library's registration and files:"$'\n'"$(files)"

when="$windows package removed" && msiexec /x
[ -z "$(products)" ] || fail "products left: $(products)"
[ -z "$(tree "${lib[32]}" "${lib[64]:-}")" ] || fail "left in the registry:"$'\n'"$(tree "${lib[32]}" "${lib[64]:-}")"
[ -z "$(files)" ] || fail "left on disk: $(files)"
regsvr32 $own "${lib[$own]}" # as the prefix's other tests expect
exit $status
