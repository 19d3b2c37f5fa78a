#!/bin/sh
# SPDX-License-Identifier: MIT
# Checks the model one way, in a folder of its own, and prints what SPIN's verifier found:
#   verify.sh MODEL FOLDER safety|liveness [SWITCH]
# safety: assertions and deadlocks (invalid end states); liveness: the LTL claim, under weak
# fairness. The verifier is compiled at -O0: compiling dominates the time of a check.
set -eu
model=$1 folder=$2 run=$3 define=${4:+-D$4}
rm -rf "$folder"
mkdir -p "$folder"
cp "$model" "$folder/orderdesk.pml"
cd "$folder"
spin -a $define orderdesk.pml
case $run in
  safety) cc -O0 -DSAFETY -DNOCLAIM -o pan pan.c && ./pan -m100000 -w20 ;;
  liveness) cc -O0 -o pan pan.c && ./pan -a -f -m100000 -w20 ;;
esac
if [ -e orderdesk.pml.trail ]; then
  echo "To replay the error, step by step: (cd $folder && spin -t -p -g -l $define orderdesk.pml)"
fi
