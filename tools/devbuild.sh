#!/usr/bin/env bash
# Incremental development build without installing:
#   tools/devbuild.sh NAME [TARGET...]
# builds the given modules (all when none are named) into build/dev-NAME and
# lays out an importable package there. Run tests against it with
#   PYTHONPATH=build/dev-NAME/python python3 -m pytest tests/...
# Each developer uses their own NAME so parallel builds never share a tree.
# Beside the package the tree holds a small quorvane-<version>.dist-info
# (written when CMake configures, from __version__), so importlib.metadata
# reports the version there as it does for an install.
set -euo pipefail
cd "$(dirname "$0")/.."
name=${1:?usage: tools/devbuild.sh NAME [TARGET...]}
shift
dir=build/dev-$name
py=$(python3 -c 'import sys; print(sys.executable)')
if [ ! -f "$dir/build.ninja" ]; then
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" \
    -DQUORVANE_DEV_TREE=ON -DQUORVANE_WERROR=ON -DPython_EXECUTABLE="$py" \
    ${QUORVANE_CMAKE_ARGS:-} >/dev/null
fi
if [ $# -eq 0 ]; then
  cmake --build "$dir"
else
  cmake --build "$dir" --target qv_pyfiles "$@"
fi
echo "PYTHONPATH=$dir/python"
