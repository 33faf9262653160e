#!/bin/sh
# Installs what the Windows build and its tests need on top of scripts/install-deps.sh: the
# mingw-w64 i686 compiler and the tools that fetch and unpack Debian source packages, then Wine
# with its 32-bit half (which needs Debian's i386 architecture). Kept apart from install-deps.sh
# so that `make test` never adds an architecture or installs Wine. Nothing is done when all is
# there.
set -eu

BUILD_PACKAGES="
g++-mingw-w64-i686
dpkg-dev
tcl
xz-utils
"

if [ "$(id -u)" -eq 0 ]; then
    as_root=""
else
    as_root="sudo"
fi

here="$(dirname "$0")"
# shellcheck disable=SC2086 # the list is meant to split into words
"$here/install-deps.sh" $BUILD_PACKAGES

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

# Wine only runs the test programs. Its 32-bit half needs i386 packages at the very versions of
# the machine's own; a mirror that serves a broken i386 list (one being synced, say) cannot give
# them, and then the Windows build is still made and checked, and `make test-windows` says that
# its programs could not be run.
if ! "$here/install-deps.sh" wine wine32:i386; then
    echo "install-windows-deps: Wine could not be installed: the Windows programs can be built but not run here" >&2
fi
