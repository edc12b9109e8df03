#!/usr/bin/env bash
# Usage: make_certs.sh DIR
# Writes into DIR, each as NAME.pem (certificate) + NAME.key (EC P-256 key):
#   selfsigned  CN/SAN localhost, IP 127.0.0.1, IP ::1, serverAuth
#   expired     same names, validity 2020-01-01 .. 2021-01-01
#   wrongname   CN/SAN wrong.example.invalid only
#   clientonly  same names as selfsigned, extendedKeyUsage clientAuth only
#   issued      issued by a test CA (not served), fixed names and dates:
#                 subject /O=Vantorel, Test/OU=Prüfungen/CN=localhost
#                 issuer  /O=Vantorel Test/CN=Vantorel Test CA
#                 valid   2024-01-01 00:00:00 .. 2100-01-01 00:00:00 UTC
#               so that a report of the certificate can be checked exactly
#               (a comma to escape, a name that is not ASCII, an issuer
#               other than the subject)
# Every certificate is self-signed, so a test can trust exactly one of them
# (as its own CA) and see only the single fault it was made to have.
set -euo pipefail

if [ $# -ne 1 ]; then
  echo "usage: $0 DIR" >&2
  exit 2
fi
out=$1
mkdir -p "$out"

work=$(mktemp -d "${out%/}/.make_certs.XXXXXX")
trap 'rm -rf "$work"' EXIT
log=$work/openssl.log

# openssl is chatty on success; keep its output unless something fails.
run() {
  if ! "$@" >>"$log" 2>&1; then
    echo "make_certs.sh: failed: $*" >&2
    cat "$log" >&2
    exit 1
  fi
}

good_san="subjectAltName=DNS:localhost,IP:127.0.0.1,IP:::1"
wrong_san="subjectAltName=DNS:wrong.example.invalid"

# name CN SAN EKU [extra req args...]
make_selfsigned() {
  local name=$1 cn=$2 san=$3 eku=$4
  run openssl req -x509 -new -nodes -newkey ec -pkeyopt ec_paramgen_curve:P-256 \
    -keyout "$work/$name.key" -out "$work/$name.pem" -days 3650 -sha256 \
    -subj "/CN=$cn" \
    -addext "$san" \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,digitalSignature,keyCertSign" \
    -addext "extendedKeyUsage=$eku"
}

make_selfsigned selfsigned localhost "$good_san" serverAuth
make_selfsigned wrongname wrong.example.invalid "$wrong_san" serverAuth
make_selfsigned clientonly localhost "$good_san" clientAuth

# `openssl x509 -days` cannot reach into the past, but `openssl ca` takes an
# explicit validity window; -selfsign keeps the certificate its own issuer.
mkdir -p "$work/ca"
: >"$work/ca/index.txt"
echo 1000 >"$work/ca/serial"
cat >"$work/ca.cnf" <<EOF
[ ca ]
default_ca = fixture_ca
[ fixture_ca ]
dir = $work/ca
database = \$dir/index.txt
serial = \$dir/serial
new_certs_dir = \$dir
default_md = sha256
policy = any_policy
unique_subject = no
copy_extensions = none
x509_extensions = leaf_ext
[ any_policy ]
commonName = supplied
[ leaf_ext ]
$good_san
basicConstraints = critical,CA:TRUE
keyUsage = critical,digitalSignature,keyCertSign
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
EOF
run openssl req -new -nodes -newkey ec -pkeyopt ec_paramgen_curve:P-256 \
  -keyout "$work/expired.key" -out "$work/expired.csr" -subj "/CN=localhost"
run openssl ca -batch -notext -config "$work/ca.cnf" -selfsign \
  -keyfile "$work/expired.key" -in "$work/expired.csr" -out "$work/expired.pem" \
  -startdate 20200101000000Z -enddate 20210101000000Z

if openssl x509 -in "$work/expired.pem" -noout -checkend 0 >/dev/null; then
  echo "make_certs.sh: expired.pem is not expired" >&2
  exit 1
fi

# The test CA and the certificate it issues; -preserveDN keeps the subject's
# attributes in the order the request gives them.
run openssl req -x509 -new -nodes -newkey ec -pkeyopt ec_paramgen_curve:P-256 \
  -keyout "$work/test-ca.key" -out "$work/test-ca.pem" -days 36500 -sha256 \
  -subj "/O=Vantorel Test/CN=Vantorel Test CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign"
mkdir -p "$work/issuing"
: >"$work/issuing/index.txt"
echo 2000 >"$work/issuing/serial"
cat >"$work/issuing.cnf" <<EOF
[ ca ]
default_ca = test_ca
[ test_ca ]
dir = $work/issuing
database = \$dir/index.txt
serial = \$dir/serial
new_certs_dir = \$dir
default_md = sha256
policy = any_policy
unique_subject = no
copy_extensions = none
x509_extensions = leaf_ext
[ any_policy ]
organizationName = optional
organizationalUnitName = optional
commonName = supplied
[ leaf_ext ]
$good_san
basicConstraints = critical,CA:FALSE
keyUsage = critical,digitalSignature
extendedKeyUsage = serverAuth
EOF
run openssl req -new -nodes -newkey ec -pkeyopt ec_paramgen_curve:P-256 -utf8 \
  -keyout "$work/issued.key" -out "$work/issued.csr" -subj "/O=Vantorel, Test/OU=Prüfungen/CN=localhost"
run openssl ca -batch -notext -utf8 -preserveDN -config "$work/issuing.cnf" \
  -cert "$work/test-ca.pem" -keyfile "$work/test-ca.key" \
  -in "$work/issued.csr" -out "$work/issued.pem" \
  -startdate 20240101000000Z -enddate 21000101000000Z

# Rename into place so a concurrent reader never sees a half-written file.
for name in selfsigned expired wrongname clientonly issued; do
  chmod 0644 "$work/$name.pem"
  chmod 0600 "$work/$name.key"
  mv -f "$work/$name.key" "$out/$name.key"
  mv -f "$work/$name.pem" "$out/$name.pem"
done
