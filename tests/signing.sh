#!/bin/bash
# The release signed with a throwaway CA's certificate: each program and library
# verifies against that CA (not once a byte is changed), without its signature
# is the unsigned file, the 64-bit library serves a script, the packages verify, the guide names
# only files of the archive, revocation checked against a CRL file; offline and from older Windows'
# PKCS#12 encryption, unchecked; not for code signing, revoked or a wrong password fails, leaving no zip.
# usage: signing.sh <wine-run of the 64-bit prefix> <sources> <dist> <x86 wxi> <x64 wxi>
set -eEu
trap 'echo "FAILED at line $LINENO: $BASH_COMMAND"' ERR
run=$(realpath "$1"); src=$(realpath "$2"); dist=$(realpath "$3"); rows=("$(realpath "$4")" "$(realpath "$5")")
[ -f "$dist/IMV_v11.dll" ] || { echo "SKIPPED: no 32-bit library to release (this machine cannot build it)"; exit 77; }
cd "$(mktemp -d)"; trap '"$run" regsvr32 /s "Z:$dist/x64/IMV_v11.dll"; rm -rf "$PWD"' EXIT
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -subj /CN=CA -addext keyUsage=keyCertSign,cRLSign 2>/dev/null
echo password >password; echo wrong >wrong
certificate() { # <pfx> <extensions, a line each> [<subject>]
    openssl req -newkey rsa:2048 -nodes -keyout key.pem -subj "${3:-/CN=Signer}" 2>/dev/null |
        openssl x509 -req -CA ca.pem -CAkey ca.key -extfile <(echo "$2") -out cert.pem 2>/dev/null
    openssl pkcs12 -export -inkey key.pem -in cert.pem -certfile ca.pem -passout file:password -out "$1"
}
certificate sign.pfx extendedKeyUsage=codeSigning
certificate server.pfx extendedKeyUsage=serverAuth
certificate named.pfx extendedKeyUsage=serverAuth "/CN=Marvisto Code Signing"
# With a CRL distribution point that refuses connections, as no offline host reaches its CA's; also as older Windows exports it.
certificate offline.pfx $'extendedKeyUsage=codeSigning\ncrlDistributionPoints=URI:http://127.0.0.1:9/ca.crl'
openssl pkcs12 -export -legacy -inkey key.pem -in cert.pem -certfile ca.pem -passout file:password -out legacy.pfx
ca() { openssl ca -config <(printf '[ca]\ndefault_ca=own\n[own]\ndatabase=index\ndefault_md=sha256\ndefault_crl_days=1\n') \
    -cert ca.pem -keyfile ca.key "$@" 2>/dev/null; }
touch index && ca -gencrl -out current.crl && ca -revoke cert.pem && ca -gencrl -out revoked.crl
released=$(SIGN_PFX=sign.pfx SIGN_PASSWORD_FILE=password SIGN_CRLFILE=current.crl "$src/tools/release" "$dist" out "${rows[@]}")
grep -q "^release: .*, revocation checked against current.crl" <<<"$released"
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
released=$(SIGN_PFX=legacy.pfx SIGN_PASSWORD_FILE=password "$src/tools/release" "$dist" out "${rows[@]}")
grep -q "^release: .*, revocation not checked " <<<"$released"
# Server authentication only, the second named for code signing; revoked; a wrong password.
while IFS='|' read -r pfx pass crl message reason; do
    SIGN_PFX=$pfx SIGN_PASSWORD_FILE=$pass SIGN_CRLFILE=$crl "$src/tools/release" "$dist" out "${rows[@]}" >/dev/null 2>refused &&
        { echo "FAILED: released with $pfx, $pass, $crl"; exit 1; }
    grep -q "^release: $message" refused && grep -q "$reason" refused || { echo "FAILED: $pfx: $(cat refused)"; exit 1; }
    [ -z "$(ls out/*.zip out/*.msi 2>/dev/null)" ] || { echo "FAILED: a failed release left $(ls out/*.zip out/*.msi)"; exit 1; }
done <<<"server.pfx|password||the certificate of server.pfx is not for code signing|
named.pfx|password||the certificate of named.pfx is not for code signing|
offline.pfx|password|revoked.crl|the signature of x86/IMV_v11.dll does not verify|certificate revoked
legacy.pfx|wrong||cannot read the certificate of legacy.pfx with the password in wrong|"
echo "signed, verified, registered and used"
