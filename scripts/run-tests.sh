#!/usr/bin/env bash
# Installs what the tests need, then runs the C++ suite (CTest) and the Python suite (pytest).
# With --sanitize, both suites run against a build with AddressSanitizer and
# UndefinedBehaviorSanitizer (the Python suite with the sanitizer run time preloaded).
# Fails when either suite fails or runs no test.
set -euo pipefail
cd "$(dirname "$0")/.."

python=${PYTHON:-python3}
sanitize=false
case "${1:-}" in
    "") ;;
    --sanitize) sanitize=true ;;
    *) echo "usage: bash scripts/run-tests.sh [--sanitize]" >&2; exit 2 ;;
esac

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

fail() {
    echo "run-tests.sh: $*" >&2
    exit 1
}

# The sanitized module goes into a private environment, away from the normal installation.
# It sees the active interpreter's packages (the test requirements among them) after its own,
# whether that interpreter is a virtual environment or the system's.
make_sanitize_venv() {
    local asan site_dir
    asan=$(gcc -print-file-name=libasan.so)
    [ -f "$asan" ] || fail "gcc's AddressSanitizer run time (libasan.so) is missing"
    "$python" -m venv --clear "$sanitize_venv" ||
        fail "$python -m venv could not create $sanitize_venv (Debian: apt-get install python3-venv)"
    # The pip that venv bundles can be too old for -C (config settings).
    "$sanitize_venv/bin/python" -m pip install --quiet --upgrade pip ||
        fail "could not upgrade pip in $sanitize_venv"
    site_dir=$("$sanitize_venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
    "$python" -c '
import site
dirs = site.getsitepackages() + ([site.getusersitepackages()] if site.ENABLE_USER_SITE else [])
for path in dirs:
    print(f"import site; site.addsitedir({path!r})")
' >"$site_dir/active-interpreter.pth"
}

run_cpp_tests() {  # build dir, then extra CMake definitions
    local build_dir=$1
    shift
    cmake -S . -B "$build_dir" -G Ninja -DPython_EXECUTABLE="$(command -v "$python")" \
        -DMIRELO_BUILD_MODULE=OFF -DMIRELO_BUILD_TESTS=ON "$@"
    cmake --build "$build_dir" --parallel 2
    ctest --test-dir "$build_dir" --output-on-failure --no-tests=error
}

ensure_googletest
# Prepared first, so that anything missing shows in seconds rather than after the builds.
sanitize_venv=build/sanitize-venv
if $sanitize; then
    make_sanitize_venv
fi
# One build serves the run: the sdist, then a wheel built from it, which is installed here
# and, by the packaging test, into a fresh virtual environment.
export MIRELO_DIST_DIR=$PWD/build/dist
rm -rf "$MIRELO_DIST_DIR"
"$python" -m pip install --quiet build
"$python" -m build --quiet --outdir "$MIRELO_DIST_DIR" .
wheel=$(echo "$MIRELO_DIST_DIR"/*.whl)
"$python" -m pip install --quiet "$wheel[test]"
# pip keeps an installed copy of the same version; the fresh build must replace it.
"$python" -m pip install --quiet --no-deps --force-reinstall "$wheel"

if ! $sanitize; then
    run_cpp_tests build/cpp-tests
    "$python" -m pytest tests/python
    exit 0
fi

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1
run_cpp_tests build/cpp-tests-sanitize -DMIRELO_SANITIZE=ON

# The module finds LAPACK beside itself, so the library must be in this environment too.
"$sanitize_venv/bin/python" -m pip install --quiet --ignore-installed scipy-openblas32
"$sanitize_venv/bin/python" -m pip install --quiet --no-deps --force-reinstall \
    -C cmake.define.MIRELO_SANITIZE=ON -C build-dir=build/sanitize-module .
# CPython keeps objects alive until exit by design, so leaks are checked by the C++ suite only.
# libstdc++ is preloaded too: the sanitizer must find the real __cxa_throw when it starts.
ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
    LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
    "$sanitize_venv/bin/python" -m pytest tests/python
