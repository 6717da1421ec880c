#!/usr/bin/env bash
# Installs what the tests need, then runs the C++ suite (CTest) and the Python suite (pytest).
# Fails when either suite fails or runs no test.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
build_dir=build/cpp-tests

ensure_googletest() {
    if [ -f /usr/include/gtest/gtest.h ]; then
        return
    fi
    if [ "$(id -u)" -ne 0 ]; then
        echo "GoogleTest is missing. Install it as root with: apt-get install libgtest-dev" >&2
        exit 1
    fi
    echo "Installing GoogleTest (libgtest-dev)..."
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libgtest-dev >/dev/null
}

ensure_googletest
"$python" -m pip install --quiet ".[test]"

cmake -S . -B "$build_dir" -G Ninja \
    -DPython_EXECUTABLE="$(command -v "$python")" \
    -DMIRELO_BUILD_MODULE=OFF -DMIRELO_BUILD_TESTS=ON
cmake --build "$build_dir" --parallel 2
ctest --test-dir "$build_dir" --output-on-failure --no-tests=error

"$python" -m pytest tests/python
