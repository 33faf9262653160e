#!/bin/sh
# Installs the Debian packages the build, tests, benchmarks and fuzzers need, and nothing when
# every one of them is already there. Safe to run again and again: `make test` runs it first.
# Packages given as arguments are installed instead of the list below (the Windows build's).
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
libxml2-utils
clang-14
libclang-rt-14-dev
g++-mingw-w64-i686
valgrind
"

if [ "$#" -gt 0 ]; then
    PACKAGES="$*"
fi

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

# Another install running at the same time (a second build, an unattended upgrade) holds the
# package lock for a while: wait for it rather than fail.
lock_wait="-o DPkg::Lock::Timeout=600"

# A mirror caught in the middle of a sync serves package lists that do not match their index
# ("File has unexpected size"), and a caching proxy may go on serving such a list for hours.
# Each step is tried again a few times; lists that still cannot be read leave the ones that
# could, which usually hold every package needed, so the install goes on and fails only when a
# package is really missing.
retry() {
    attempt=1
    until "$@"; do
        if [ "$attempt" -ge 3 ]; then
            return 1
        fi
        echo "install-deps: '$*' failed; trying again in $((attempt * 15)) s"
        sleep $((attempt * 15))
        attempt=$((attempt + 1))
    done
}

echo "install-deps: installing$missing"
# shellcheck disable=SC2086 # the options and the list are meant to split into words
if ! retry $as_root apt-get $lock_wait update -q; then
    echo "install-deps: some package lists could not be read; installing from the others"
fi
# shellcheck disable=SC2086
retry $as_root env DEBIAN_FRONTEND=noninteractive apt-get $lock_wait install -y -q --no-install-recommends $missing
