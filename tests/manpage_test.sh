#!/bin/sh
# SPDX-License-Identifier: MIT
# A manual page renders without a single warning and has every section a reader expects.
set -eu
page=$1
warnings=$(groff -man -ww -z "$page" 2>&1)
[ -z "$warnings" ] || { echo "$warnings"; exit 1; }
for section in NAME SYNOPSIS DESCRIPTION '"EXIT STATUS"' EXAMPLES; do
  grep -q "^\.SH $section\$" "$page" || { echo "$page has no $section"; exit 1; }
done
