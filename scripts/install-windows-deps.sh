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

# wine32 is an i386 package: the architecture must be known before the package lists are read.
# A machine that did not know it has no i386 package either, so the install below reads the
# lists again.
case " $(dpkg --print-foreign-architectures | tr '\n' ' ') " in
    *" i386 "*) ;;
    *)
        echo "install-windows-deps: adding the i386 architecture"
        $as_root dpkg --add-architecture i386
        ;;
esac

# shellcheck disable=SC2086 # the list is meant to split into words
exec "$(dirname "$0")/install-deps.sh" $PACKAGES
