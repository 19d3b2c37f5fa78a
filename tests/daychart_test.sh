#!/bin/sh
# SPDX-License-Identifier: MIT
# The picture of a piped day is drawn from a whole day; a run that is no day is refused.
set -eu
python=$1 daychart=$2 orderdesk=$3
svg=$(mktemp --suffix=.svg)
trap 'rm -f "$svg"' EXIT

if why=$("$python" "$daychart" /bin/true piped "$svg" 2>&1); then
  echo "drew a day from a program that printed nothing"; exit 1
fi
echo "$why" | grep -q "not a whole day" || { echo "$why"; exit 1; }

"$python" "$daychart" "$orderdesk" piped "$svg"
grep -q '<svg' "$svg"
