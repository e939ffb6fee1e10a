#!/usr/bin/env bash
# Makes a new set of DEVELOPMENT keys and certificates and exports their
# public halves into dev-keys/trusted/, from which the build generates the
# built-in trust source (cmake/PelTrustedKeys.cmake).
#
#   generate.sh                 new keys and certificates, then export
#   generate.sh --public-only   export the public halves of the keys here
#
# Needs the openssl command-line tool. Run it without --public-only only when
# the development keys must change: every signed fixture and package made with
# the old keys stops verifying.
set -euo pipefail
cd "$(dirname "$0")"

days=7300
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

if [[ "${1:-}" != "--public-only" ]]; then
  # The data-signing key: signed data files and detached signatures.
  openssl genrsa -out data-signing.DEVELOPMENT-ONLY.key.pem 1536
  # The download manifest's own key.
  openssl genrsa -out manifest-signing.DEVELOPMENT-ONLY.key.pem 2048

  # A root CA and two package-signing certificates under it: one whose common
  # name names Safari, one for everything else.
  openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days "$days" \
    -keyout root-ca.DEVELOPMENT-ONLY.key.pem -out root-ca.cert.pem \
    -subj "/O=Pelgrave Development/CN=Pelgrave Development Root CA" \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign"

  cat > "$tmp/leaf.ext" <<'EXT'
basicConstraints=critical,CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=codeSigning
EXT

  make_leaf() {
    local name=$1 subject=$2
    openssl req -new -newkey rsa:2048 -nodes -sha256 \
      -keyout "$name.DEVELOPMENT-ONLY.key.pem" -out "$tmp/$name.csr" -subj "$subject"
    openssl x509 -req -in "$tmp/$name.csr" -sha256 -days "$days" \
      -CA root-ca.cert.pem -CAkey root-ca.DEVELOPMENT-ONLY.key.pem -CAcreateserial \
      -extfile "$tmp/leaf.ext" -out "$name.cert.pem"
  }
  make_leaf package-signing "/O=Pelgrave Development/CN=Developer ID Installer: Pelgrave Development (PELDEV0001)"
  make_leaf safari-signing "/O=Pelgrave Development/CN=Pelgrave Safari Extension Development"
  rm -f root-ca.cert.srl
fi

# The public halves only: no private key ever leaves this folder.
mkdir -p trusted
openssl rsa -in data-signing.DEVELOPMENT-ONLY.key.pem -RSAPublicKey_out -outform DER \
  -out trusted/data-signing.pub.der
openssl rsa -in manifest-signing.DEVELOPMENT-ONLY.key.pem -pubout -outform DER \
  -out trusted/manifest-signing.pub.der
openssl x509 -in root-ca.cert.pem -outform DER -out trusted/root-ca.cert.der
fingerprint() {
  openssl x509 -in "$1" -outform DER | openssl dgst -sha256 -r | cut -d' ' -f1
}
fingerprint package-signing.cert.pem > trusted/package-signing.sha256
fingerprint safari-signing.cert.pem > trusted/safari-signing.sha256
echo "Public halves written to dev-keys/trusted/; the next build compiles them in."
