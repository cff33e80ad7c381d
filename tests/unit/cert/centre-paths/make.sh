#!/usr/bin/env bash
# Made the certificates of the centre's path rows once, with the project's own
# test centre: answer ← centre (pathlen:0) ← issuing (pathlen:1) ← head, and
# beside it links of the same key and name with one fault each, other centres
# and chains, a head ("lone") no test carries and look-alikes of it. Kept as
# files so that they do not age: all run to the end of 2049 but "expired".
# Run from anywhere: make.sh PATH-TO-TESTCA
set -euo pipefail
testca=$(realpath "${1:?the testca program}")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
org=(--rdn O=Kestrava --rdn C=RU)
plain=(--no-default-ext --ext subjectKeyIdentifier=hash --ext authorityKeyIdentifier=keyid:always)
sign=(--ext keyUsage=critical,keyCertSign,cRLSign)
ca() { echo "--ext basicConstraints=critical,CA:${1:-TRUE}"; }
request() { openssl req -engine gost -new -key "$1.key" -subj /CN=request -out "$1.csr" 2>/dev/null; }
dates=(--not-before 20200101000000Z --not-after 20491231235959Z)
# mint ISSUER-FOLDER OUT [options]: OUT.der, signed with the folder's key.
mint() { "$testca" mint "$1" --out "$2.der" "${dates[@]}" "${@:3}" >/dev/null; }
# centre ISSUER-FOLDER OUT CN [options]: a fresh key's CA certificate, its
# folder to sign with and a request to certify the key again.
centre() {
    mint "$1" "$2" --key-out "$2.key" --kind 2012-256 --rdn "CN=$3" "${org[@]}" "${plain[@]}" "${@:4}"
    mkdir "$2" && cp "$2.key" "$2/ca.key" && echo 1000 >"$2/serial"
    openssl x509 -engine gost -inform DER -in "$2.der" -out "$2/ca.pem" 2>/dev/null
    request "$2"
}
holder() { mint "$1" "$2" --key-out k.pem --kind 2012-256 --rdn "CN=$2" "${plain[@]}" $(ca FALSE); }

"$testca" init t >/dev/null && "$testca" init lone >/dev/null
mint t/head head --like t/head/ca.der && mint lone/head lone-head --like lone/head/ca.der
centre t/head issuing 'Kestrava Issuing CA' $(ca TRUE,pathlen:1) "${sign[@]}"
centre issuing centre 'Kestrava Test CA' $(ca TRUE,pathlen:0) "${sign[@]}"
holder centre answer && holder t current
again=(--csr issuing.csr --rdn 'CN=Kestrava Issuing CA' "${org[@]}" "${plain[@]}")
mint t/head expired "${again[@]}" $(ca) "${sign[@]}" --not-after 20210101000000Z
mint t/head no-cert-sign "${again[@]}" $(ca) --ext keyUsage=critical,digitalSignature,cRLSign
mint t/head not-a-centre "${again[@]}" $(ca FALSE) "${sign[@]}"
centre t/head z 'Kestrava Z CA' $(ca TRUE,pathlen:0) "${sign[@]}"
centre z x 'Kestrava Test CA' $(ca) "${sign[@]}" && holder x answer-x
centre t/head other 'Kestrava Other CA' $(ca) "${sign[@]}" && holder other answer-other
# Three centres one under the other; centre's key under the lowest (four
# above it, the anchor included), under the next (three), and self-signed.
centre t/head l3 'Kestrava L3 CA' $(ca) "${sign[@]}"
centre l3 l2 'Kestrava L2 CA' $(ca) "${sign[@]}"
centre l2 l1 'Kestrava L1 CA' $(ca) "${sign[@]}"
again=(--csr centre.csr --rdn 'CN=Kestrava Test CA' "${org[@]}" "${plain[@]}" $(ca) "${sign[@]}")
mint l1 far "${again[@]}" && mint l2 near "${again[@]}" && mint centre self "${again[@]}"
# The lone head's centre; its name and key identifier on another key; its
# key and name as CA:FALSE.
holder lone answer-lone
cp lone/ca.key lone-centre.key && cp lone/head/ca.key lone-head.key && request lone-centre && request lone-head
mint lone/head lone-centre --csr lone-centre.csr --rdn 'CN=Kestrava Test CA' "${org[@]}" "${plain[@]}" $(ca) \
    "${sign[@]}"
key_id=$(openssl x509 -inform DER -in lone-head.der -noout -ext subjectKeyIdentifier | tail -1 | tr -d ' ')
mint t look-alike --key-out k.pem --kind 2012-256 --rdn 'CN=Kestrava Test Head CA' "${org[@]}" --no-default-ext \
    $(ca) "${sign[@]}" --ext "subjectKeyIdentifier=$key_id"
mint lone/head lone-not-a-centre --csr lone-head.csr --rdn 'CN=Kestrava Test Head CA' "${org[@]}" "${plain[@]}" \
    $(ca FALSE) "${sign[@]}"
# Signed with the head's key, and a current certificate of the head's name.
holder t/head by-head && holder lone/head current-by-head
rm -f "$here"/*.der && cp ./*.der "$here/"
