#!/usr/bin/env bash
# An installer signed after it was built must verify and still run: the signature lands after
# the payload, and the stub finds its blocks from the fixed stub size, not from the file's end.
# Usage: signed_installer_test.sh VANTREL STUB WALK_EXE SAMPLE_PACKAGE WORK_DIR
set -euo pipefail
vantrel=$1 stub=$2 walk=$3 package=$4 work=$5
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work" && mkdir -p "$work"
"$vantrel" build "$package" --stub "$stub" -o "$work/unsigned.exe" >/dev/null
# A self-signed code-signing certificate made for this test only.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" \
  -days 2 -subj "/CN=Vantrel Test Signer" -addext "extendedKeyUsage=codeSigning" 2>/dev/null
osslsigncode sign -certs "$work/cert.pem" -key "$work/key.pem" -n "Vantrel Sample" \
  -in "$work/unsigned.exe" -out "$work/signed.exe" >/dev/null
osslsigncode verify -CAfile "$work/cert.pem" "$work/signed.exe" >"$work/verify.txt" 2>&1 || {
  cat "$work/verify.txt"; echo "FAIL: the signed installer does not verify"; exit 1; }
[ "$(stat -c %s "$work/signed.exe")" -gt "$(stat -c %s "$work/unsigned.exe")" ] || {
  echo "FAIL: signing added nothing"; exit 1; }
"$vantrel" inspect "$work/signed.exe" >/dev/null || { echo "FAIL: inspect refuses the signed installer"; exit 1; }
# The signed installer runs as a user would see it: every page, the update, the finish, and a
# clean end with its work folder removed (the walk fails otherwise).
"$here/../../scripts/wine_run.sh" "$walk" "$(winepath -w "$work/signed.exe")" \
  "$(winepath -w "$work")" | tee "$work/walk.txt"
grep -q 'page 6: "Setup Complete"' "$work/walk.txt"
echo "signed installer verified and ran"
