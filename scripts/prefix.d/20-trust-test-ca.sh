#!/bin/bash
# Makes throw-away certificate authorities, each with a server certificate for
# localhost/127.0.0.1, for the tests' loopback release server (tests/support/release_server.py),
# and trusts them in this Wine prefix only. The host's trust store is never touched.
#
# Output folder: $QUORVALENT_TEST_CA_DIR, by default $WINEPREFIX/test-ca (outside the source
# tree, made fresh with the prefix), holding ca.pem, ca.der, server.pem and server.key of the
# authority the machine's root store trusts, and a folder user-root/ with the same files for an
# authority only the user's root store trusts (a server the installer must refuse).
# The release server looks there by the same rule.
set -euo pipefail

ca_dir=$(realpath -m "${QUORVALENT_TEST_CA_DIR:-$WINEPREFIX/test-ca}")
helper="$QUORVALENT_BUILD_DIR/tests/support/trust_test_ca.exe"
if [ ! -f "$helper" ]; then
    # A build without its tests has no helper and needs no test CA.
    echo "trust-test-ca: $helper not built; HTTPS to the test release server will fail" >&2
    exit 0
fi

# make_authority DIR NAME STORE: a CA named NAME and its server certificate in DIR, the CA
# trusted in the prefix's STORE ("machine" or "user") root store.
make_authority() {
    local dir=$1 name=$2 store=$3
    mkdir -p "$dir"
    (
        cd "$dir"
        cat > server.ext <<'EXT'
basicConstraints = critical, CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1
EXT
        openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 \
            -keyout ca.key -out ca.pem -subj "/CN=$name" \
            -addext "basicConstraints=critical,CA:TRUE" \
            -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
        openssl req -newkey rsa:2048 -nodes -sha256 -keyout server.key -out server.csr \
            -subj "/CN=localhost" 2>/dev/null
        openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -sha256 \
            -days 30 -extfile server.ext -out server.pem 2>/dev/null
        openssl x509 -in ca.pem -outform DER -out ca.der
    )
    "${QUORVALENT_WINE:-wine}" "$helper" "$store" "Z:${dir//\//\\}\\ca.der" </dev/null
}

rm -rf "$ca_dir"
make_authority "$ca_dir" "Quorvalent Test Release CA" machine
make_authority "$ca_dir/user-root" "Quorvalent Test User-Only CA" user
echo "Test CAs trusted in the prefix (machine, user only): $ca_dir"
