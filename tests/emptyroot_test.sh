#!/bin/sh
# SPDX-License-Identifier: MIT
# Each program runs as the only file of an empty root: no loader, no library, no shell.
set -eu
orderdesk=$1 sortfour=$2 hellospawn=$3
root=$(mktemp -d)
trap 'rm -rf "$root" "$root.out"' EXIT

# The root is entered in a user namespace of its own, which the kernel refuses inside a
# chroot or where unprivileged namespaces are switched off: the test is then left out.
if ! refusal=$(unshare --map-root-user true 2>&1); then
  echo "left out: no user namespace here ($refusal)"
  exit 77
fi

# Runs a program alone in the root, its input given as printf's %b takes it.
alone() {
  cp "$1" "$root/program"
  printf '%b' "$2" | unshare --map-root-user --root="$root" /program >"$root.out"
  rm "$root/program"
}

expect() {
  printf '%b' "$2" | cmp -s - "$root.out" || { echo "$1 in an empty root printed:"; cat "$root.out"; exit 1; }
}

alone "$sortfour" '3 1 2 0\n'
expect sortfour 'Input 4 values into the array.\n0 1 2 3 '
alone "$hellospawn" '42\n'
expect hellospawn 'In main: creating thread \nEnter a number: Hello World from thread with arg: 42!\n'

# The day's two threads interleave their lines as they race: compare them sorted.
alone "$orderdesk" '7 8 9\n'
sort -o "$root.out" "$root.out"
day="Phew! Done with orders for today!\n"
for n in 0 1 2 3 4 5 6 7 8 9; do
  case $n in 0) item=7 ;; 1) item=8 ;; 2) item=9 ;; *) item=0 ;; esac
  day="${day}Enter a menu item number between 1 and 50: Got new order! Order number is $n and item number: $item\n"
  day="${day}Processing order number $n with item number: $item\n"
done
expect orderdesk "$(printf '%b' "$day" | sort)\n"
