#!/bin/sh
# Authenticode signing of the Windows delivery with osslsigncode, when a
# release is built with a certificate; without one everything stays unsigned
# and byte for byte what the builds made.
#
#   BRENVIK_SIGN_CERT       the code-signing certificate (PEM or DER, with its chain)
#   BRENVIK_SIGN_KEY        its private key
#   BRENVIK_SIGN_PASS       the key's password, if it has one
#   BRENVIK_SIGN_TIMESTAMP  an RFC 3161 time-stamp server, so that the
#                           signatures outlive the certificate
#
#   sign.sh FILE...
#       signs each file in place (a no-op when unsigned). makensis calls it
#       for the uninstaller and then the installer (!uninstfinalize, !finalize).
#   sign.sh setup TREE64 TREE32 STAGE "rel|rel|..." MAKENSIS ARGS...
#       copies each rel path of the two build trees that exists into
#       STAGE/64 and STAGE/32, signs the copies, then runs makensis with
#       PE64, PE32 (where the script takes programs and DLLs from) and SIGN.
#   sign.sh settings FILE
#       writes what the signing depends on to FILE, touching it only when
#       that changed: the installer is made again when signing is turned
#       on or off, or the certificate changes.
set -eu

signing() {
  [ -n "${BRENVIK_SIGN_CERT:-}" ] && [ -n "${BRENVIK_SIGN_KEY:-}" ]
}

sign_file() {
  signing || return 0
  file=$1
  set -- sign -certs "$BRENVIK_SIGN_CERT" -key "$BRENVIK_SIGN_KEY" -h sha256 \
    -n "${BRENVIK_SIGN_DESCRIPTION:-Brenvik}" -in "$file" -out "$file.signing"
  pass=""
  if [ -n "${BRENVIK_SIGN_PASS:-}" ]; then
    # From a file, not the command line, where any process could read it.
    pass=$(mktemp)
    chmod 600 "$pass"
    printf '%s' "$BRENVIK_SIGN_PASS" >"$pass"
    set -- "$@" -readpass "$pass"
  fi
  if [ -n "${BRENVIK_SIGN_TIMESTAMP:-}" ]; then
    set -- "$@" -ts "$BRENVIK_SIGN_TIMESTAMP"
  fi
  status=0
  osslsigncode "$@" >/dev/null || status=$?
  [ -z "$pass" ] || rm -f "$pass"
  if [ "$status" -ne 0 ]; then
    rm -f "$file.signing"
    echo "sign.sh: signing $file failed" >&2
    return 1
  fi
  mv -f "$file.signing" "$file"
  echo "signed $file"
}

case "${1:-}" in
  setup)
    [ $# -ge 6 ] || { echo "usage: sign.sh setup TREE64 TREE32 STAGE FILES MAKENSIS ARGS..." >&2; exit 2; }
    tree64=$2 tree32=$3 stage=$4 files=$5
    shift 5
    rm -rf "$stage"
    old_ifs=$IFS
    IFS='|'
    for rel in $files; do
      IFS=$old_ifs
      for pair in "64:$tree64" "32:$tree32"; do
        bits=${pair%%:*} tree=${pair#*:}
        [ -f "$tree/$rel" ] || continue
        mkdir -p "$(dirname "$stage/$bits/$rel")"
        cp -p "$tree/$rel" "$stage/$bits/$rel"
        sign_file "$stage/$bits/$rel"
      done
    done
    IFS=$old_ifs
    here=$(cd "$(dirname "$0")" && pwd)
    # Right before the script, the last argument: makensis reads them in order.
    n=$#
    i=0
    for arg do
      i=$((i + 1))
      [ "$i" -ne "$n" ] || set -- "$@" -DPE64="$stage/64" -DPE32="$stage/32" -DSIGN="$here/sign.sh"
      set -- "$@" "$arg"
    done
    shift "$n"
    exec "$@"
    ;;
  settings)
    file=$2
    new="$file.new"
    if signing; then
      {
        echo "cert $BRENVIK_SIGN_CERT $(sha256sum <"$BRENVIK_SIGN_CERT")"
        echo "key $BRENVIK_SIGN_KEY $(sha256sum <"$BRENVIK_SIGN_KEY")"
        echo "timestamp ${BRENVIK_SIGN_TIMESTAMP:-}"
      } >"$new"
    else
      echo "unsigned" >"$new"
    fi
    if cmp -s "$new" "$file"; then
      rm -f "$new"
    else
      mv -f "$new" "$file"
    fi
    ;;
  "")
    echo "usage: sign.sh FILE... | setup ... | settings FILE" >&2
    exit 2
    ;;
  *)
    for f in "$@"; do
      sign_file "$f"
    done
    ;;
esac
