#!/bin/bash
# The release signed with a throwaway CA's certificate: each program and library
# verifies against that CA (not once a byte is changed), without its signature
# is the unsigned file, the 64-bit library serves a script, the packages verify, the guide names
# only files of the archive; a certificate not for code signing fails the release, leaving no zip.
# usage: signing.sh <wine-run of the 64-bit prefix> <sources> <dist> <x86 wxi> <x64 wxi>
set -eEu
trap 'echo "FAILED at line $LINENO: $BASH_COMMAND"' ERR
run=$(realpath "$1"); src=$(realpath "$2"); dist=$(realpath "$3"); rows=("$(realpath "$4")" "$(realpath "$5")")
[ -f "$dist/IMV_v11.dll" ] || { echo "SKIPPED: no 32-bit library to release (this machine cannot build it)"; exit 77; }
cd "$(mktemp -d)"; trap '"$run" regsvr32 /s "Z:$dist/x64/IMV_v11.dll"; rm -rf "$PWD"' EXIT
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -subj /CN=CA -addext keyUsage=keyCertSign 2>/dev/null
echo password >password
certificate() { # <pfx> <extended key usage> [<subject>]
    openssl req -newkey rsa:2048 -nodes -keyout key.pem -subj "${3:-/CN=Signer}" 2>/dev/null |
        openssl x509 -req -CA ca.pem -CAkey ca.key -extfile <(echo "extendedKeyUsage=$2") -out cert.pem 2>/dev/null
    openssl pkcs12 -export -inkey key.pem -in cert.pem -certfile ca.pem -passout file:password -out "$1"
}
certificate sign.pfx codeSigning
certificate server.pfx serverAuth
certificate named.pfx serverAuth "/CN=Marvisto Code Signing"
SIGN_PFX=sign.pfx SIGN_PASSWORD_FILE=password "$src/tools/release" "$dist" out "${rows[@]}" >/dev/null
for package in out/*.msi; do osslsigncode verify -CAfile ca.pem -in "$package" >/dev/null; done
unzip -q out/*.zip -d zip
for name in $(grep -o '[A-Za-z0-9_]*\.\(dll\|exe\|manifest\|txt\)\b' zip/GUIDE.txt | sort -u); do
    [ -n "$(find zip -name "$name")" ] || { echo "FAILED: the guide names $name, which the archive lacks"; exit 1; }; done
for file in x86/IMV_v11.dll x64/IMV_v11.dll UMV.exe MVU.exe; do
    osslsigncode verify -CAfile ca.pem -in "zip/$file" >/dev/null
    rm -f unsigned && osslsigncode remove-signature -in "zip/$file" -out unsigned >/dev/null
    cmp unsigned "$dist/${file#x86/}"
done
printf '\x90' | dd of=zip/UMV.exe bs=1 seek=4096 conv=notrunc status=none
osslsigncode verify -CAfile ca.pem -in zip/UMV.exe >/dev/null 2>&1 && { echo "FAILED: a changed file verifies"; exit 1; }
"$run" regsvr32 /u /s "Z:$dist/x64/IMV_v11.dll"
"$run" regsvr32 /s "Z:$PWD/zip/x64/IMV_v11.dll"
echo 'Set o = CreateObject("IMV_v11.CLibrary") : o.lCia = "signed" : WScript.Echo o.lCia' >lcia.vbs
[ "$("$run" cscript //nologo "Z:$PWD/lcia.vbs" | tr -d '\r')" = signed ]
for pfx in server.pfx named.pfx; do # server authentication only, the second named for code signing
    SIGN_PFX=$pfx SIGN_PASSWORD_FILE=password "$src/tools/release" "$dist" out "${rows[@]}" >/dev/null 2>refused &&
        { echo "FAILED: released with $pfx, which is not for code signing"; exit 1; }
    grep -q "^release: the certificate of $pfx is not for code signing" refused || { echo "FAILED: $pfx: $(cat refused)"; exit 1; }
    [ -z "$(ls out/*.zip out/*.msi 2>/dev/null)" ] || { echo "FAILED: a failed release left $(ls out/*.zip out/*.msi)"; exit 1; }
done
echo "signed, verified, registered and used"
