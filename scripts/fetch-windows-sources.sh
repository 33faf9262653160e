#!/bin/sh
# Fetches the sources the Windows build compiles its dependencies from, and nothing else: the
# Debian source packages of SQLite 3.40.1, Lua 5.1.5 and GoogleTest, from the Debian archive this
# machine already uses. No prebuilt Windows binary is taken from anywhere; the toolchain in
# cmake/mingw-i686.cmake builds them.
#
# Usage: scripts/fetch-windows-sources.sh FOLDER
# FOLDER/sqlite3, FOLDER/lua5.1 and FOLDER/googletest are the unpacked packages (with Debian's
# patches applied); FOLDER/sqlite3 also gets the single-file sqlite3.c and sqlite3.h, made with
# the package's own build tools, which is what the toolchain compiles. A finished folder is left
# as it is, so running this again costs nothing.
set -eu

destination=${1:?usage: $0 FOLDER}
mkdir -p "$destination"
destination=$(cd "$destination" && pwd)

if [ "$(id -u)" -eq 0 ]; then
    as_root=""
else
    as_root="sudo"
fi
lock_wait="-o DPkg::Lock::Timeout=600"

# The versions the library is developed against; another version of the archive is refused
# rather than silently tested.
SQLITE_VERSION=3.40.1
LUA_VERSION=5.1.5

# apt-get source reads the archive's Sources indexes, which need a deb-src entry. The one added
# mirrors the deb.debian.org entry the machine has, so it reaches the same archive.
ensure_source_indexes() {
    if apt-get indextargets --format '$(CREATED_BY)' | grep -qx Sources; then
        return
    fi
    entry=/etc/apt/sources.list.d/zrdb-debian-sources.sources
    echo "fetch-windows-sources: adding $entry"
    printf '%s\n' \
        "# Added by ZrGameDatabase's scripts/fetch-windows-sources.sh: source packages of the" \
        "# Debian archive, from which the Windows build compiles SQLite, Lua and GoogleTest." \
        "Types: deb-src" \
        "URIs: http://deb.debian.org/debian" \
        "Suites: bookworm bookworm-updates" \
        "Components: main" \
        "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" \
        "" \
        "Types: deb-src" \
        "URIs: http://deb.debian.org/debian-security" \
        "Suites: bookworm-security" \
        "Components: main" \
        "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" |
        $as_root tee "$entry" >/dev/null
    # A list the mirror serves broken (its i386 one, say) fails the update, but leaves the Sources
    # indexes it could read: apt-get source below says so if the ones it needs are not among them.
    # shellcheck disable=SC2086 # the options are meant to split into words
    $as_root apt-get $lock_wait update -q ||
        echo "fetch-windows-sources: some package lists could not be read; going on with the others" >&2
}

# Downloads source package $1 into the downloads folder and unpacks it as $destination/$1;
# $2 is the upstream version the package must have (empty: any).
fetch_package() {
    package=$1
    version=$2
    if [ -f "$destination/$package/.unpacked" ]; then
        return
    fi
    mkdir -p "$destination/downloads"
    (cd "$destination/downloads" && apt-get source --download-only -q "$package")
    dsc=$(ls "$destination/downloads/${package}_"*.dsc | sort | tail -n 1)
    if [ -n "$version" ]; then
        case "$(basename "$dsc")" in
            "${package}_${version}"-*) ;;
            *) echo "fetch-windows-sources: $dsc is not version $version" >&2; exit 1 ;;
        esac
    fi
    rm -rf "$destination/$package"
    dpkg-source --no-check -x "$dsc" "$destination/$package" >/dev/null
    touch "$destination/$package/.unpacked"
}

# The package holds SQLite's full source tree; the single-file form the build compiles is made
# by its own makefile, with the machine's compiler and tclsh as build tools only.
make_sqlite_single_file() {
    tree=$destination/sqlite3
    if [ -f "$tree/sqlite3.c" ] && [ -f "$tree/sqlite3.h" ]; then
        return
    fi
    rm -rf "$tree/single-file"
    mkdir -p "$tree/single-file"
    (cd "$tree/single-file" && ../configure --quiet >/dev/null && make -s sqlite3.c >/dev/null)
    cp "$tree/single-file/sqlite3.c" "$tree/single-file/sqlite3.h" "$tree/"
}

ensure_source_indexes
fetch_package sqlite3 "$SQLITE_VERSION"
fetch_package lua5.1 "$LUA_VERSION"
fetch_package googletest ""
make_sqlite_single_file
echo "fetch-windows-sources: sources in $destination"
