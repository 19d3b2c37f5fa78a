#!/bin/sh
# SPDX-License-Identifier: MIT
# Gradescope runs this once, as root, when it builds the autograder's image (an Ubuntu
# release): it installs what lab/grade needs with apt-get and builds the lab's preload
# libraries from the sources beside it, in /autograder/source.
set -eu
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends g++ make cmake python3 valgrind >/dev/null
cd /autograder/source
cmake -S . -B build/default -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build build/default --target threadlab-schedule threadlab-record
