#!/bin/sh
# Handshake time and heap of the link's TLS session over N reconnects
# (default 100) to socat with OpenSSL on loopback, with a CA and a server
# certificate made here. Needs a release build (build/release).
#   bench/bench_tls.sh [N]   (GLIBC_TUNABLES=glibc.malloc.tcache_count=0 for exact heap)
# Under qemu, the router's glibc build (build/mipsel):
#   BENCH_BUILD=build/mipsel BENCH_CXX=mipsel-linux-gnu-g++ \
#   BENCH_WRAP="qemu-mipsel -L /usr/mipsel-linux-gnu -E LD_LIBRARY_PATH=/usr/mipsel-linux-gnu/lib -E GLIBC_TUNABLES=glibc.malloc.tcache_count=0" \
#   bench/bench_tls.sh 20
set -e
n=${1:-100}
root=$(cd "$(dirname "$0")/.." && pwd)
d=$(mktemp -d)
trap 'kill $socat $sink 2>/dev/null; rm -rf "$d"' EXIT
cd "$d"
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.crt -days 2 -subj /CN=BenchCA 2>/dev/null
openssl req -newkey rsa:2048 -nodes -keyout srv.key -out srv.csr -subj /CN=localhost 2>/dev/null
printf 'subjectAltName=IP:127.0.0.1\n' > srv.ext
openssl x509 -req -in srv.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out srv.crt -days 2 -extfile srv.ext 2>/dev/null
build=$root/${BENCH_BUILD:-build/release}
${BENCH_CXX:-g++} -std=c++17 -O2 -I"$root" -I"$build/generated" -DADAPTER_HAVE_TLS=1 "$root/bench/bench_tls.cpp" \
    "$build/libadapter.a" -lmbedtls -lmbedx509 -lmbedcrypto -lpthread -o bench_tls
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
sinkport=$((port + 1))
socat TCP-LISTEN:$sinkport,bind=127.0.0.1,reuseaddr,fork OPEN:/dev/null & sink=$!
socat OPENSSL-LISTEN:$port,bind=127.0.0.1,reuseaddr,fork,cert=srv.crt,key=srv.key,verify=0 \
      TCP:127.0.0.1:$sinkport & socat=$!
sleep 0.5
# BENCH_BUNDLE=1: the CA file is the system's bundle with the test CA, as
# the router's default would be.
ca=ca.crt
if [ "${BENCH_BUNDLE:-0}" = 1 ]; then
  cat /etc/ssl/certs/ca-certificates.crt ca.crt > bundle.crt
  ca=bundle.crt
fi
${BENCH_WRAP:-} ./bench_tls "$port" "$ca" "$n"
