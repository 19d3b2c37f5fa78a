#!/bin/sh
# SPDX-License-Identifier: MIT
# The package's black-box autopkgtest can fail and can skip: on the built programs with
# sortfour replaced by one that prints the wrong thing it must fail (1), and with every
# program right but a case refused its set-up (strace that cannot trace) it must skip (77).
#   autopkgtest_test.sh SOURCE_DIR BIN_DIR
set -u
source=$1 bin=$2
broken=$(mktemp -d)
trap 'rm -rf "$broken"' EXIT
for program in orderdesk hellospawn; do
  ln -s "$bin/$program" "$broken/$program"
done
printf '#!/bin/sh\necho wrong\n' >"$broken/sortfour"
chmod +x "$broken/sortfour"
cd "$source"
THREADTRIO_BIN=$broken sh debian/tests/blackbox >"$broken/failed.log" 2>&1
failed=$?
THREADTRIO_BIN=$bin STRACE=false sh debian/tests/blackbox >"$broken/skipped.log" 2>&1
skipped=$?
echo "with a broken sortfour: status $failed (1 wanted); with strace refused: status $skipped (77 wanted)"
[ $failed = 1 ] || cat "$broken/failed.log"
[ $skipped = 77 ] || cat "$broken/skipped.log"
[ $failed = 1 ] && [ $skipped = 77 ]
