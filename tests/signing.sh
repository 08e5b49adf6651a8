#!/bin/bash
# The release signed with a throwaway CA's certificate: each program and library
# verifies against that CA (not once a byte is changed), without its signature
# is the unsigned file, and the signed 64-bit library registers and serves a script.
# usage: signing.sh <wine-run of the 64-bit prefix> <sources> <dist>
set -eEu
trap 'echo "FAILED at line $LINENO: $BASH_COMMAND"' ERR
run=$(realpath "$1"); src=$(realpath "$2"); dist=$(realpath "$3")
[ -f "$dist/IMV_v11.dll" ] || { echo "SKIPPED: no 32-bit library to release (this machine cannot build it)"; exit 77; }
cd "$(mktemp -d)"; trap '"$run" regsvr32 /s "Z:$dist/x64/IMV_v11.dll"; rm -rf "$PWD"' EXIT
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -subj /CN=CA -addext keyUsage=keyCertSign 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout key.pem -subj /CN=Signer 2>/dev/null |
    openssl x509 -req -CA ca.pem -CAkey ca.key -extfile <(echo extendedKeyUsage=codeSigning) -out cert.pem 2>/dev/null
echo password >password
openssl pkcs12 -export -inkey key.pem -in cert.pem -passout file:password -out sign.pfx
SIGN_PFX=sign.pfx SIGN_PASSWORD_FILE=password "$src/tools/release" "$dist" out >/dev/null
unzip -q out/*.zip -d zip
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
echo "signed, verified, registered and used"
