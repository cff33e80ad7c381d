#!/usr/bin/env bash
# Made the fixed centres of the centre's signature rows once, with the
# project's own test centre: a CryptoPro-B centre (its p is 1 mod 8: the
# general square root) and a TC26-256-A centre (cofactor 4: the lifts
# x = r + k·q), each with several witnesses (certificates its key signed, from
# whose signatures the key is computed), one more certificate it signed, and a
# stranger of the same name. Kept as files so that every run checks the same
# signatures. Run from this folder: make.sh PATH-TO-TESTCA
set -euo pipefail
testca=${1:?the testca program}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
witnesses=8
for centre in cryptopro-b:B tc26-256-a:TCA; do
    name=${centre%%:*} paramset=${centre#*:}
    cd "$work"
    "$testca" init "$name" --kind 2012-256 --paramset "$paramset" >/dev/null
    "$testca" init "$name-other" --kind 2012-256 --paramset "$paramset" >/dev/null
    out="$here/$name"
    rm -rf "$out" && mkdir -p "$out"
    cp "$name/ca.der" "$out/ca.der"
    for n in $(seq 1 $witnesses); do
        "$testca" mint "$name" --out "$out/witness-$n.der" --key-out k.pem --rdn "CN=witness $n" >/dev/null
    done
    "$testca" mint "$name" --out "$out/fresh.der" --key-out k.pem --rdn CN=fresh >/dev/null
    "$testca" mint "$name-other" --out "$out/stranger.der" --key-out k.pem --rdn CN=fresh >/dev/null
done
