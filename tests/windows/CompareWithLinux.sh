#!/bin/sh
# The Windows zrdb (under Wine) against the Linux one on the demo: the load of the sample ruleset
# and its mod into a snapshot, then the report script on that snapshot. Both must print the same
# bytes. The examples are copied into a folder whose name has é and ü, and given by that name, so
# that the path goes through the Windows command line, the library's UTF-16 file calls and SQLite's
# file name unchanged.
#
# Usage: CompareWithLinux.sh WINDOWS_ZRDB LINUX_ZRDB EXAMPLES_FOLDER
# Exit status 0 when the outputs agree, 1 when they differ, 77 (skipped) without a Linux zrdb.
set -u

windows_zrdb=$1
linux_zrdb=$2
examples=$3
if [ ! -x "$linux_zrdb" ]; then
    echo "skipped: no Linux zrdb at '$linux_zrdb' to compare with (make build)"
    exit 77
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
folder="exemples-été-über"

# Runs one zrdb ($1: a command that starts it) in its own copy of the examples; the output of both
# commands, stdout and stderr, lands in $2.
run_demo() {
    side=$work/$2
    mkdir -p "$side/$folder"
    cp -R "$examples/data" "$examples/mod" "$examples/scripts" "$side/$folder/"
    (
        cd "$side" || exit 1
        echo "== load"
        $1 load "$folder/data" "$folder/mod" -o "$folder/examples.db" 2>&1
        echo "exit $?"
        echo "== report"
        $1 run --db "$folder/examples.db" "$folder/scripts/report.lua" 2>&1
        echo "exit $?"
    ) > "$work/$2.txt"
}

run_demo "$linux_zrdb" linux
run_demo "wine $windows_zrdb" windows

# The load's line "...; 0.01 s" carries a time, which differs from run to run.
for side in linux windows; do
    sed -E 's/; [0-9]+\.[0-9]+ s$/; TIME s/' "$work/$side.txt" > "$work/$side.compared"
done
if ! diff -u "$work/linux.compared" "$work/windows.compared"; then
    echo "the Windows zrdb printed something else than the Linux zrdb (above, - Linux, + Windows)"
    exit 1
fi
lines=$(wc -l < "$work/linux.compared")
echo "the same $lines lines from both, with the examples in '$folder'"
