#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs a build into a scratch prefix: the three programs and their manual pages, nothing
# else, and the installed programs run (under EMULATOR, if set, for a cross build).
set -eu
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
(cd "$prefix" && find . -type f | sort) >"$prefix.files"
expected="./bin/hellospawn ./bin/orderdesk ./bin/sortfour \
./share/man/man1/hellospawn.1 ./share/man/man1/orderdesk.1 ./share/man/man1/sortfour.1"
[ "$(cat "$prefix.files")" = "$(printf '%s\n' $expected)" ] || {
  echo "installed files differ:"; cat "$prefix.files"; exit 1
}
rm "$prefix.files"
# shellcheck disable=SC2086 # the emulator's command and options
[ "$(echo 4 1 3 2 | ${EMULATOR:-} "$prefix/bin/sortfour")" = "$(printf 'Input 4 values into the array.\n1 2 3 4 ')" ]
