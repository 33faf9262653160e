#!/bin/sh
# Installs what the Windows build and its tests need on top of scripts/install-deps.sh: the
# mingw-w64 i686 compiler, Wine with its 32-bit half (which needs Debian's i386 architecture), and
# the tools that fetch and unpack Debian source packages. Kept apart from install-deps.sh so that
# `make test` never adds an architecture or installs Wine. Nothing is done when all is there.
set -eu

PACKAGES="
g++-mingw-w64-i686
wine
wine32:i386
dpkg-dev
tcl
xz-utils
"

if [ "$(id -u)" -eq 0 ]; then
    as_root=""
else
    as_root="sudo"
fi
lock_wait="-o DPkg::Lock::Timeout=600"

# wine32 is an i386 package: the architecture must be known before the package lists are read.
need_update=""
case " $(dpkg --print-foreign-architectures | tr '\n' ' ') " in
    *" i386 "*) ;;
    *)
        echo "install-windows-deps: adding the i386 architecture"
        $as_root dpkg --add-architecture i386
        need_update=yes
        ;;
esac

missing=""
for package in $PACKAGES; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    case "$status" in
        *"install ok installed"*) ;;
        *) missing="$missing $package" ;;
    esac
done

if [ -z "$missing" ] && [ -z "$need_update" ]; then
    exit 0
fi

# shellcheck disable=SC2086 # the options are meant to split into words
$as_root apt-get $lock_wait update -q
if [ -n "$missing" ]; then
    echo "install-windows-deps: installing$missing"
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $as_root apt-get $lock_wait install -y -q --no-install-recommends $missing
fi
