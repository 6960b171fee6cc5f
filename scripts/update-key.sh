#!/usr/bin/env bash
# Keys and signatures of update archives (Ed25519, with openssl).
#
#   scripts/update-key.sh new KEY.pem      a new private key; prints the public
#                                          key for [WEBSERVER] UPDATE_KEY
#   scripts/update-key.sh public KEY.pem   prints the public key again
#   scripts/update-key.sh sign KEY.pem ARCHIVE
#                                          writes ARCHIVE.sig (64 bytes), served
#                                          beside the archive
set -euo pipefail

public_hex() { openssl pkey -in "$1" -pubout -outform DER | tail -c 32 | od -An -tx1 | tr -d ' \n'; echo; }

case "${1:-}" in
  new)
    [ $# -eq 2 ] || { echo "usage: $0 new KEY.pem" >&2; exit 2; }
    [ ! -e "$2" ] || { echo "$2 exists, not overwritten" >&2; exit 1; }
    (umask 077; openssl genpkey -algorithm ed25519 -out "$2")
    public_hex "$2" ;;
  public)
    [ $# -eq 2 ] || { echo "usage: $0 public KEY.pem" >&2; exit 2; }
    public_hex "$2" ;;
  sign)
    [ $# -eq 3 ] || { echo "usage: $0 sign KEY.pem ARCHIVE" >&2; exit 2; }
    openssl pkeyutl -sign -rawin -inkey "$2" -in "$3" -out "$3.sig"
    [ "$(stat -c %s "$3.sig")" -eq 64 ] ;;
  *)
    echo "usage: $0 new KEY.pem | public KEY.pem | sign KEY.pem ARCHIVE" >&2; exit 2 ;;
esac
