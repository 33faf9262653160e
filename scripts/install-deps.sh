#!/bin/sh
# Installs the Debian packages the build, tests, benchmarks and fuzzers need, and nothing when
# every one of them is already there. Safe to run again and again: `make test` runs it first.
set -eu

PACKAGES="
cmake
make
g++
pkg-config
libsqlite3-dev
liblua5.1-0-dev
libluajit-5.1-dev
libgtest-dev
libgmock-dev
libbenchmark-dev
libpugixml-dev
libxml2-dev
clang-14
libclang-rt-14-dev
g++-mingw-w64-i686
valgrind
"

missing=""
for package in $PACKAGES; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    case "$status" in
        *"install ok installed"*) ;;
        *) missing="$missing $package" ;;
    esac
done

if [ -z "$missing" ]; then
    exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
    as_root=""
else
    as_root="sudo"
fi

echo "install-deps: installing$missing"
$as_root apt-get update -q
# shellcheck disable=SC2086 # the list is meant to split into words
DEBIAN_FRONTEND=noninteractive $as_root apt-get install -y -q --no-install-recommends $missing
