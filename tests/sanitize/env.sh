# env.sh - sanitizer settings for a test run; sourced by `./qmr test --sanitize` with the folder
# that collects the reports as its argument. Every instrumented process of the run (test
# binaries, qmr-host, qmr-datastored) inherits these variables.
_qmr_san_reports="${1:?usage: . env.sh REPORT_DIR}"
_qmr_san_dir="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"

# halt_on_error: the first fault ends the process, so the report is never buried.
# log_path: reports go to REPORT_DIR/asan.PID, also from servers whose stderr nobody reads.
# detect_leaks: LeakSanitizer at exit of every process that exits normally.
export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:log_path=$_qmr_san_reports/asan:strict_init_order=1:check_initialization_order=1:detect_odr_violation=1"
# Undefined behaviour aborts (the build uses -fno-sanitize-recover) with a stack trace.
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$_qmr_san_reports/ubsan:suppressions=$_qmr_san_dir/ubsan.supp"
# Leaks of the ORB's and the interpreter's own one-time allocations are listed, with reasons, in
# lsan.supp; everything else that leaks is a report.
export LSAN_OPTIONS="suppressions=$_qmr_san_dir/lsan.supp:print_suppressions=0"
# Python objects straight from malloc, not from the interpreter's arenas: ASan then checks every
# object that the modules build or read, and LeakSanitizer still finds the objects that the
# interpreter keeps until exit (pymalloc unmaps its arenas at exit, which would turn them into
# reported leaks of a few KB in every qmr-host process).
export PYTHONMALLOC=malloc
unset _qmr_san_reports _qmr_san_dir
