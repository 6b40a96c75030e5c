#!/bin/bash
# Makes a throw-away certificate authority and a server certificate for localhost/127.0.0.1
# for the tests' loopback release server (tests/support/release_server.py), and trusts the
# authority in this Wine prefix's root store only. The host's trust store is never touched.
#
# Output folder: $QUORVALENT_TEST_CA_DIR, by default $WINEPREFIX/test-ca (outside the source
# tree, made fresh with the prefix), holding ca.pem, ca.der, server.pem and server.key.
# The release server looks there by the same rule.
set -euo pipefail

ca_dir=$(realpath -m "${QUORVALENT_TEST_CA_DIR:-$WINEPREFIX/test-ca}")
helper="$QUORVALENT_BUILD_DIR/tests/support/trust_test_ca.exe"
if [ ! -f "$helper" ]; then
    # A build without its tests has no helper and needs no test CA.
    echo "trust-test-ca: $helper not built; HTTPS to the test release server will fail" >&2
    exit 0
fi

rm -rf "$ca_dir"
mkdir -p "$ca_dir"
cd "$ca_dir"

cat > server.ext <<'EXT'
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1
EXT

openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 \
    -keyout ca.key -out ca.pem -subj "/CN=Quorvalent Test Release CA" \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
openssl req -newkey rsa:2048 -nodes -sha256 -keyout server.key -out server.csr \
    -subj "/CN=localhost" 2>/dev/null
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -sha256 \
    -days 30 -extfile server.ext -out server.pem 2>/dev/null
openssl x509 -in ca.pem -outform DER -out ca.der

"${QUORVALENT_WINE:-wine}" "$helper" "Z:${ca_dir//\//\\}\\ca.der" </dev/null
echo "Test CA trusted in the prefix: $ca_dir"
