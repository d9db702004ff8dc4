#!/usr/bin/env bash
# Regenerates the DER certificates that the decoder tests read. Keys, dates
# and signatures change on each run; serials and names stay, and the tests
# check only those. The texts to expect are what
#   openssl x509 -inform DER -in F -noout -serial -issuer -subject \
#     -nameopt RFC2253,-esc_msb,utf8
# prints, with the serial bytes separated by "." and several attributes of
# one RDN separated by "," in their encoded order.
set -eu
cd "$(dirname "$0")"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
openssl ecparam -name prime256v1 -genkey -noout -out "$tmp/k.pem"
req() { openssl req -x509 -new -key "$tmp/k.pem" -days 3650 "$@"; }

req -subj "/C=US/O=Example/CN=Host" -set_serial 0x010AFF -outform DER -out basic.der

req -subj "/C=DE/O=Example CA/CN=Example Root" -set_serial 0x2A -out "$tmp/ca.pem"
openssl req -new -key "$tmp/k.pem" -out "$tmp/leaf.csr" -subj \
  "/C=US/ST=New York/L=Albany/O=Example Corp/OU=Web/CN=www.example.com/emailAddress=admin@example.com"
printf 'basicConstraints=CA:FALSE\n' > "$tmp/ext.cnf"
openssl x509 -req -in "$tmp/leaf.csr" -CA "$tmp/ca.pem" -CAkey "$tmp/k.pem" \
  -set_serial 0x7F3A0B1C2D3E4F50 -days 3650 -extfile "$tmp/ext.cnf" -outform DER -out full.der

# The default string mask makes a name with a character beyond Latin-1 a
# BMPString; with no extensions the certificate is version 1.
cat > "$tmp/bmp.cnf" <<'CNF'
[req]
distinguished_name = dn
string_mask = default
utf8 = yes
prompt = no
[dn]
O = Snow
CN = Snow ☃ Man
CNF
req -config "$tmp/bmp.cnf" -set_serial 0x0100 -outform DER -out bmp.der

req -subj "/CN=Host/serialNumber=1234" -set_serial 7 -outform DER -out serialattr.der
req -multivalue-rdn -subj "/O=Org/CN=a+OU=b" -set_serial 8 -outform DER -out multirdn.der
req -multivalue-rdn -subj "/CN=a+OU=b/O=Org" -set_serial 9 -outform DER -out multifirst.der
