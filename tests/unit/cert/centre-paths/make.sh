#!/usr/bin/env bash
# Made the certificates of the centre's path rows once, with the project's
# own test centre: paths from a holder's new certificate up to a test head,
# each link of them valid but for the one fault its row is about. Kept as
# files so that they do not age: the valid ones run to the end of 2049, the
# expired one ended in 2021. Run from anywhere: make.sh PATH-TO-TESTCA
#
#   head          the test head the unit tests carry (self-signed)
#   issuing       a head's issuing centre (pathlen:1), certified by head
#   centre        the holder's centre (pathlen:0), certified by issuing
#   answer        the holder's new certificate, signed by centre's key
#   current       the holder's current one, of centre's name, another key
#   expired, no-cert-sign, not-a-centre
#                 issuing's key and name again: expired, keyUsage without
#                 keyCertSign, CA:FALSE
#   z, x, answer-x    a centre of another name (pathlen:0) that certified x,
#                 a centre of the holder's centre's name, and what x signed
#   other, answer-other  another centre the head certified, and what it
#                 signed under its own name
#   l3, l2, l1    three centres one under the other below head; far and near
#                 are centre's key under l1 (four above it, the anchor
#                 included) and under l2 (three)
#   self          centre's key and name, self-signed
#   lone-head, lone-centre, answer-lone  a head no test carries, a centre of
#                 the holder's centre's name it certified, and what it signed
#   look-alike    lone-head's name and key identifier on another key
#   lone-not-a-centre  lone-head's key and name, CA:FALSE
#   by-head, current-by-head  signed by head's key, and a holder's current
#                 certificate of the head's name, another key
set -euo pipefail
testca=$(realpath "${1:?the testca program}")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
dates=(--not-before 20200101000000Z --not-after 20491231235959Z)
centre_ext=(--no-default-ext --ext subjectKeyIdentifier=hash --ext authorityKeyIdentifier=keyid:always)
holder_ext=("${centre_ext[@]}" --ext basicConstraints=critical,CA:FALSE --ext keyUsage=critical,digitalSignature)
cert_sign=keyUsage=critical,keyCertSign,cRLSign
org=(--rdn O=Kestrava --rdn C=RU)
# mint ISSUER-FOLDER OUT [options]: OUT.der, under the issuer's key.
mint() {
    local issuer=$1 out=$2
    shift 2
    "$testca" mint "$issuer" --out "$out.der" "${dates[@]}" "$@" >/dev/null
}
# folder NAME: NAME.der and its key NAME.key as a folder testca signs with.
folder() {
    mkdir -p "$1"
    cp "$1.key" "$1/ca.key"
    openssl x509 -engine gost -inform DER -in "$1.der" -out "$1/ca.pem" 2>/dev/null
    echo 1000 >"$1/serial"
}
# request NAME: a certificate request for NAME.key, to certify it again.
request() {
    openssl req -engine gost -new -key "$1.key" -subj /CN=request -out "$1.csr" 2>/dev/null
}
# centre ISSUER-FOLDER NAME CN [ext...]: a CA certificate for a fresh key.
centre() {
    local issuer=$1 out=$2 cn=$3
    shift 3
    mint "$issuer" "$out" --key-out "$out.key" --kind 2012-256 --rdn "CN=$cn" "${org[@]}" "${centre_ext[@]}" "$@"
    folder "$out"
    request "$out"
}
# holder ISSUER-FOLDER NAME: a holder's certificate.
holder() {
    mint "$1" "$2" --key-out "$2.holder.key" --kind 2012-256 --rdn "CN=$2" "${holder_ext[@]}"
}

"$testca" init t >/dev/null
"$testca" init lone >/dev/null
mint t/head head --like t/head/ca.der
mint lone/head lone-head --like lone/head/ca.der
centre t/head issuing 'Kestrava Issuing CA' --ext basicConstraints=critical,CA:TRUE,pathlen:1 --ext "$cert_sign"
centre issuing centre 'Kestrava Test CA' --ext basicConstraints=critical,CA:TRUE,pathlen:0 --ext "$cert_sign"
holder centre answer
holder t current
again=(--csr issuing.csr --rdn 'CN=Kestrava Issuing CA' "${org[@]}" "${centre_ext[@]}")
mint t/head expired "${again[@]}" --ext basicConstraints=critical,CA:TRUE,pathlen:1 --ext "$cert_sign" \
    --not-after 20210101000000Z
mint t/head no-cert-sign "${again[@]}" --ext basicConstraints=critical,CA:TRUE,pathlen:1 \
    --ext keyUsage=critical,digitalSignature,cRLSign
mint t/head not-a-centre "${again[@]}" --ext basicConstraints=critical,CA:FALSE --ext "$cert_sign"

centre t/head z 'Kestrava Z CA' --ext basicConstraints=critical,CA:TRUE,pathlen:0 --ext "$cert_sign"
centre z x 'Kestrava Test CA' --ext basicConstraints=critical,CA:TRUE --ext "$cert_sign"
holder x answer-x
centre t/head other 'Kestrava Other CA' --ext basicConstraints=critical,CA:TRUE --ext "$cert_sign"
holder other answer-other

centre t/head l3 'Kestrava L3 CA' --ext basicConstraints=critical,CA:TRUE --ext "$cert_sign"
centre l3 l2 'Kestrava L2 CA' --ext basicConstraints=critical,CA:TRUE --ext "$cert_sign"
centre l2 l1 'Kestrava L1 CA' --ext basicConstraints=critical,CA:TRUE --ext "$cert_sign"
again=(--csr centre.csr --rdn 'CN=Kestrava Test CA' "${org[@]}" "${centre_ext[@]}" --ext basicConstraints=critical,CA:TRUE
    --ext "$cert_sign")
mint l1 far "${again[@]}"
mint l2 near "${again[@]}"
mint centre self "${again[@]}"

holder lone answer-lone
cp lone/ca.key lone-centre.key && request lone-centre
mint lone/head lone-centre --csr lone-centre.csr --rdn 'CN=Kestrava Test CA' "${org[@]}" "${centre_ext[@]}" \
    --ext basicConstraints=critical,CA:TRUE --ext "$cert_sign"
key_id=$(openssl x509 -inform DER -in lone-head.der -noout -ext subjectKeyIdentifier | tail -1 | tr -d ' ')
mint t look-alike --key-out look-alike.key --kind 2012-256 --rdn 'CN=Kestrava Test Head CA' "${org[@]}" --no-default-ext \
    --ext basicConstraints=critical,CA:TRUE --ext "$cert_sign" --ext "subjectKeyIdentifier=$key_id"
cp lone/head/ca.key lone-head.key && request lone-head
mint lone/head lone-not-a-centre --csr lone-head.csr --rdn 'CN=Kestrava Test Head CA' "${org[@]}" "${centre_ext[@]}" \
    --ext basicConstraints=critical,CA:FALSE --ext "$cert_sign"
holder t/head by-head
holder lone/head current-by-head

out="$here"
find "$out" -name '*.der' -delete
for certificate in head issuing centre answer current expired no-cert-sign not-a-centre z x answer-x other \
    answer-other l3 l2 l1 far near self lone-head lone-centre answer-lone look-alike lone-not-a-centre by-head \
    current-by-head; do
    cp "$certificate.der" "$out/"
done
