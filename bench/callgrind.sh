#!/usr/bin/env bash
# Instructions per delegation_ref call, counted by callgrind: runs bench/hot_loop.py with
# N=1000 and N=11000 and divides the difference by 10000, which cancels the interpreter's
# start-up, the imports and the first calls. What remains per call also holds one turn of
# the driver's for loop (a few dozen instructions).
#
#   bench/callgrind.sh            # uses $PYTHON, else .venv/bin/python, else python3
#   PYTHONPATH=. bench/callgrind.sh   # to count the in-place build instead of the install
set -euo pipefail
cd "$(dirname "$0")/.."

py="${PYTHON:-}"
if [[ -z "$py" ]]; then
    if [[ -x .venv/bin/python ]]; then py=.venv/bin/python; else py=python3; fi
fi
# valgrind must start the interpreter itself, not a launcher script (pyenv shims are).
py="$("$py" -c 'import sys; print(sys.executable)')"

out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT

count() {
    # A fixed hash seed keeps dict and set layouts, hence the counts, the same run to run.
    PYTHONHASHSEED=0 valgrind --tool=callgrind --callgrind-out-file="$out/cg.$1" \
        "$py" bench/hot_loop.py "$1" >"$out/where.$1" 2>"$out/log.$1" \
        || { cat "$out/log.$1" >&2; exit 1; }
    local n
    n="$(sed -n 's/^summary: *\([0-9]*\).*/\1/p' "$out/cg.$1")"
    [[ -n "$n" ]] || n="$(sed -n 's/^totals: *\([0-9]*\).*/\1/p' "$out/cg.$1")"
    [[ -n "$n" ]] || { echo "no summary/totals line in $out/cg.$1" >&2; exit 1; }
    echo "$n"
}

# Instructions spent in libcrypto (SHA-256) in a run. Under valgrind OpenSSL cannot use the
# SHA extensions and hashes in software, so this part stands far above its share of the time.
crypto() {
    callgrind_annotate --threshold=100 "$out/cg.$1" 2>/dev/null \
        | awk '/libcrypto/ { gsub(",", "", $1); sum += $1 } END { printf "%d", sum }'
}

small="$(count 1000)"
large="$(count 11000)"
crypto_per_call="$(( ($(crypto 11000) - $(crypto 1000)) / 10000 ))"
echo "interpreter: $py"
echo "module: $(cat "$out/where.11000")"
echo "instructions, N=1000:  $small"
echo "instructions, N=11000: $large"
echo "instructions per delegation_ref call: $(( (large - small) / 10000 ))" \
     "(exact: $(awk -v a="$large" -v b="$small" 'BEGIN { printf "%.1f", (a - b) / 10000 }'))"
echo "  of which in libcrypto (software SHA-256): $crypto_per_call;" \
     "the rest: $(( (large - small) / 10000 - crypto_per_call ))"
