#!/bin/bash
# MVU, a 32-bit program, run in a 64-bit prefix that holds both builds of the
# library in the system folders: the 32-bit one in syswow64 (the system folder
# MVU sees) and the 64-bit one in system32.  It removes both.
# usage: uninstall-both.sh <wine-run of the 64-bit prefix> <its prefix> <dist folder>
set -u
"$(dirname "$0")/../tools/runs-32-bit" >/dev/null || { echo "SKIPPED: this machine cannot run 32-bit programs"; exit 77; }
run="$1"
windows="$2/drive_c/windows"
dist="$3"
mvu="Z:$dist/MVU.exe"
cp "$dist/IMV_v11.dll" "$windows/syswow64/IMV_v11.dll"
cp "$dist/x64/IMV_v11.dll" "$windows/system32/IMV_v11.dll"
status=0
"$run" "${mvu//\//\\}" || { echo "FAILED: MVU ended with $?"; status=1; }
for folder in syswow64 system32; do
    if [ -e "$windows/$folder/IMV_v11.dll" ]; then
        echo "FAILED: MVU left C:\\windows\\$folder\\IMV_v11.dll"
        status=1
    fi
    rm -f "$windows/$folder/IMV_v11.dll"
done
[ $status = 0 ] && echo "MVU removed the library from syswow64 and system32"
exit $status
