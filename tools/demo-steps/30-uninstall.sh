#!/bin/bash
# The release 1.1 uninstaller at work: dummy release files in a scratch folder
# of the prefix and in its system directory, the folder recorded through the
# library's prcDir as the add-in records it, MVU run, and what is left.
set -euo pipefail
build="$(cd "${1:-build/x86}" && pwd)"
top="$(cd "$(dirname "$0")/../.." && pwd)"
run="$build/wine-run"
key='HKCU\Software\Marvisto11\Groupdate'
folder_win='C:\Marvisto demo'
folder="$build/wine/drive_c/Marvisto demo"
system="$build/wine/drive_c/windows/system32"
files=("$folder/Marvisto11.chm" "$folder/Marvisto11.xla" "$folder/My notes.txt" "$system/IMV_v11.dll")

show() {
    for f in "${files[@]}"; do
        if [ -e "$f" ]; then state=present; else state=gone; fi
        printf '  %-8s %s\n' "$state" "${f#"$build/wine/"}"
    done
}

rm -rf "$folder"
mkdir -p "$folder"
for f in "${files[@]}"; do echo "dummy release file" >"$f"; done
echo "Installed dummy release files:"
show

script="$build/demo-record-dir.vbs"
cat >"$script" <<VBS
On Error Resume Next
Set lib = CreateObject("IMV_v11.CLibrary")
lib.prcDir ("$folder_win")
If Err.Number <> 0 Then
    WScript.Echo "prcDir: " & Err.Description
    WScript.Quit 1
End If
WScript.Echo "prcDir recorded the install folder"
VBS
"$run" cscript //nologo "Z:$script"
rm -f "$script"
"$run" reg query "$key" /v Dir | tr -d '\r' | grep Dir

echo "Running MVU.exe: its window asks to wait for ten seconds, then it removes the files"
"$run" "$top/dist/MVU.exe"
echo "After MVU:"
show

rm -rf "$folder"
"$run" reg delete "$key" /v Dir /f >/dev/null
