# Sets up the current shell to use the build tree: the libkiv module and the
# kiv package (with the stand-in's Python side) on PYTHONPATH, the kiv and zor
# commands on PATH, and the runtime pointed at the stand-in NPU by name
# (AIPU_LIB_PATH). The kiv command is the build's wrapper, which runs the
# interpreter the module is built for (Debian's /usr/bin/python3) whatever
# python3 comes first on PATH.
# Source it from any directory:   source scripts/env.sh
# KIV_BUILD_DIR chooses another build tree than build/.
kiv_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
kiv_build=${KIV_BUILD_DIR:-$kiv_root/build}
export PYTHONPATH="$kiv_build:$kiv_root/python${PYTHONPATH:+:$PYTHONPATH}"
export PATH="$kiv_build/commands:$kiv_build/tools/zor:$PATH"
export AIPU_LIB_PATH="$kiv_build/standin/libaipudrv.so"
unset kiv_root kiv_build
