#!/usr/bin/env bash
# Leak checks of the module with tests/stress/stress.py.
#   scripts/leak-check.sh [all|valgrind|rss]
# valgrind: memcheck with PYTHONMALLOC=malloc; fails on any definitely-lost
#   block whose allocation stack passes through velkorin*.so.
# rss: the stress script with N and 2N rounds after a warm-up; fails if the
#   2N run's resident size grows more than RSS_SLACK_KIB more than the N run's.
# PYTHON (default .venv/bin/python) and PYTHONPATH come from the environment.
# LEAK_ROUNDS (default 200) and RSS_ROUNDS (default 2000) set the round counts.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-all}
python=${PYTHON:-.venv/bin/python}
leak_rounds=${LEAK_ROUNDS:-200}
rss_rounds=${RSS_ROUNDS:-2000}
rss_slack_kib=${RSS_SLACK_KIB:-1024}
rss_warmup=$(( rss_rounds / 10 > 50 ? rss_rounds / 10 : 50 ))
stress=tests/stress/stress.py

module=$("$python" -c 'import velkorin; print(velkorin.__file__)')
echo "velkorin under test: $module"

check_valgrind() {
    command -v valgrind >/dev/null || { echo "error: valgrind not found" >&2; return 1; }
    local xml
    xml=$(mktemp --suffix=.xml)
    trap 'rm -f "$xml"' RETURN
    echo "valgrind memcheck: $stress $leak_rounds"
    PYTHONMALLOC=malloc valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite \
        --errors-for-leak-kinds=definite --num-callers=40 --xml=yes --xml-file="$xml" \
        "$python" "$stress" "$leak_rounds"
    "$python" - "$xml" <<'PY'
import sys
import xml.etree.ElementTree as ET

root = ET.parse(sys.argv[1]).getroot()
total_bytes = total_blocks = mod_bytes = mod_blocks = 0
reports = []
for err in root.iter("error"):
    if err.findtext("kind") != "Leak_DefinitelyLost":
        continue
    nbytes = int(err.findtext("xwhat/leakedbytes", "0"))
    nblocks = int(err.findtext("xwhat/leakedblocks", "0"))
    total_bytes += nbytes
    total_blocks += nblocks
    frames = err.findall("stack/frame")
    if any("velkorin" in (f.findtext("obj") or "") for f in frames):
        mod_bytes += nbytes
        mod_blocks += nblocks
        lines = [err.findtext("xwhat/text", "")]
        for f in frames[:15]:
            where = f.findtext("fn") or f.findtext("ip")
            src = f.findtext("file")
            lines.append(f"    {where}" + (f" ({src}:{f.findtext('line')})" if src else f" [{f.findtext('obj')}]"))
        reports.append("\n".join(lines))
for r in reports:
    print(r, file=sys.stderr)
print(f"definitely lost through the module: {mod_blocks} blocks, {mod_bytes} bytes")
print(f"definitely lost in total: {total_blocks} blocks, {total_bytes} bytes")
sys.exit(1 if mod_blocks else 0)
PY
}

rss_growth() {
    local out
    out=$("$python" "$stress" "$1" --warmup "$rss_warmup" --report-rss)
    sed -n 's/.*growth=\(-\?[0-9]*\).*/\1/p' <<<"$out"
}

check_rss() {
    local n=$rss_rounds n2=$((2 * rss_rounds)) g1 g2
    g1=$(rss_growth "$n")
    g2=$(rss_growth "$n2")
    echo "RSS growth after warm-up: $n rounds: $((g1 / 1024)) KiB; $n2 rounds: $((g2 / 1024)) KiB"
    if (( g2 - g1 > rss_slack_kib * 1024 )); then
        echo "error: the $n2-round run grew $(((g2 - g1) / 1024)) KiB more than the $n-round run" >&2
        return 1
    fi
}

case $mode in
    valgrind) check_valgrind ;;
    rss) check_rss ;;
    all) check_valgrind; check_rss ;;
    *) echo "usage: $0 [all|valgrind|rss]" >&2; exit 2 ;;
esac
