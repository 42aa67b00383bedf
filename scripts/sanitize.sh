#!/usr/bin/env bash
# Sanitizer runs:
#   scripts/sanitize.sh            both runs below
#   scripts/sanitize.sh address    the extension built with AddressSanitizer and
#                                  UndefinedBehaviorSanitizer, Python tests under it
#   scripts/sanitize.sh thread     the C++ engine tests under ThreadSanitizer
# PYTHON and GAPWEAVE_ASAN_VENV choose the interpreter and the environment
# (default: python3 and .venv-asan; the thread run takes its build tools
# from there).
#
# The interpreter itself is not instrumented: the ASan runtime is preloaded,
# Python allocates through malloc (PYTHONMALLOC=malloc) so that its objects
# are checked too, and at exit LeakSanitizer reports every unreachable block.
# The interpreter and NumPy leave a few of those behind, so the report is not
# taken at its word: only a leak with a frame in gapweave's own code fails
# the run. Any ASan error, any UBSan "runtime error" or a test failure fails
# it as well (scripts/sanitizer_report.py judges the logs in build/asan/logs).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/common.sh

what="${1:-all}"
case "$what" in
    all | address | thread) ;;
    *)
        echo "usage: scripts/sanitize.sh [address|thread]" >&2
        exit 2
        ;;
esac

# One environment serves both runs: the test dependencies and the build
# tools (cmake, ninja, scikit-build-core), and for the address run the
# sanitized module.
venv="${GAPWEAVE_ASAN_VENV:-.venv-asan}"
if [ ! -x "$venv/bin/python" ]; then
    "${PYTHON:-python3}" -m venv "$venv"
fi
install_requirements "$venv" test

run_address() {
    "$venv/bin/python" -m pip install -q --disable-pip-version-check --no-build-isolation \
        --force-reinstall --no-deps \
        --config-settings=cmake.define.GAPWEAVE_SANITIZE=address,undefined \
        --config-settings=build-dir=build/asan/{wheel_tag} \
        --config-settings=install.strip=false .

    local libasan libubsan logdir
    libasan=$(gcc -print-file-name=libasan.so)
    libubsan=$(gcc -print-file-name=libubsan.so)
    logdir=$(realpath -m build/asan/logs)
    rm -rf "$logdir"
    mkdir -p "$logdir"

    local status=0
    # Leak detection stays on; ASan's reports go to files (one per process,
    # subprocesses of the tests included) and are judged below, not by the
    # exit status. The interpreter is built without frame pointers, so
    # allocation stacks are unwound the slow way, ten frames deep: enough to
    # reach past the interpreter's allocation functions into the code that
    # asked for the memory; every further frame makes each allocation
    # dearer. UBSan writes to the standard error stream and stops the
    # process: pytest captures only at the Python level (--capture=sys), so
    # such a report reaches the stream, which goes to a file that is judged
    # as well (it also holds the fault reports of tests that provoke
    # internal faults).
    env LD_PRELOAD="$libasan:$libubsan" \
        PYTHONMALLOC=malloc \
        ASAN_OPTIONS="detect_leaks=1:fast_unwind_on_malloc=0:malloc_context_size=10:log_path=$logdir/asan" \
        LSAN_OPTIONS="exitcode=0" \
        UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
        "$venv/bin/python" -m pytest -q -p no:cacheprovider --capture=sys tests/python \
        2>"$logdir/stderr" || status=$?

    "$venv/bin/python" scripts/sanitizer_report.py "$logdir" "$(pwd)/src/" || status=1
    return "$status"
}

run_thread() {
    ensure_gtest
    local build=build/engine-tests-thread  # the engine-tests-thread preset's
    "$(realpath "$venv/bin/cmake")" --preset engine-tests-thread \
        -DCMAKE_MAKE_PROGRAM="$(realpath "$venv/bin/ninja")" >/dev/null
    "$(realpath "$venv/bin/cmake")" --build --preset engine-tests-thread
    # Any data race or lock-order report ends the run with a failure.
    TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:exitcode=66" \
        "$build/engine_tests" --gtest_brief=1
}

status=0
if [ "$what" = all ] || [ "$what" = address ]; then
    start=$SECONDS
    run_address || status=1
    echo "sanitize: address,undefined run took $((SECONDS - start)) s" >&2
fi
if [ "$what" = all ] || [ "$what" = thread ]; then
    start=$SECONDS
    run_thread || status=1
    echo "sanitize: thread run took $((SECONDS - start)) s" >&2
fi
exit "$status"
