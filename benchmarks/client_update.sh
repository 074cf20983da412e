#!/usr/bin/env bash
# Whole-process timing of a client update by the real updater (step two, "update --clientupdate", as the
# user's run starts it) against the floor of standard tools on the same tree, served by nginx on 127.0.0.1
# (a free port). Not run by CI.
#
# Usage: benchmarks/client_update.sh [build-dir] [files] [megabytes] [runs]
#   defaults: build-bench 2000 1000 3. Every file of the installation changes between version 1 and 2.
# Each run starts from a fresh copy of version 1 (not timed) and must leave version 2 (sha512sum -c):
#   updater  the installed "update --clientupdate", its fixed waits included (2 s before the start, 1 s before
#            it starts the client, which exits at once)
#   floor    curl --parallel of all files into a temporary directory, sha512sum -c of them, cp into the installation
#   floor2   sha512sum of the installed version-1 files first (the updater hashes them while planning), then floor
# The three are interleaved, <runs> times. Then one more updater run with its log on shows where its time goes
# (not counted), and the medians and the ratios updater/floor and updater/floor2 are the last lines.
set -euo pipefail
cd "$(dirname "$0")/.."
source benchmarks/common.sh
build=${1:-build-bench}
files=${2:-2000}
megabytes=${3:-1000}
runs=${4:-3}
streams=6 # the updater's default number of downloads at once
fixed_waits=3.0

build_bench "$build" update client_update_tree
print_load start
program="$PWD/$build/src/update"

work=$(mktemp -d "${TMPDIR:-/tmp}/client_update_bench.XXXXXX")
nginx_pid=""
cleanup() {
    if [ -n "$nginx_pid" ]; then
        kill "$nginx_pid" 2>/dev/null || true
        wait "$nginx_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

echo "generating $files files, $megabytes MB in $work ..."
"$PWD/$build/benchmarks/client_update_tree" "$work" "$files" "$megabytes"
sums="$work/v2.sha512"
awk '{print $2}' "$sums" > "$work/names"
bytes=$(cd "$work/www/alpha/2/client" && xargs stat -c %s < "$work/names" | awk '{s += $1} END {print s}')

start_nginx "$work" "$work/www" "alpha/2/cv5_client_linux_x86.ini.sig"

# curl gets the same URLs as the updater, as many at once.
while read -r name; do
    printf 'url = "%s/alpha/2/client/%s"\noutput = "%s"\n' "$base" "$name" "$name"
done < "$work/names" > "$work/curl.cfg"

inst="$work/install"
downloads="$work/downloads"
# The user's environment: private temporary, home and configuration directories, no display.
export_env=(TMPDIR="$work/env/tmp" HOME="$work/env/home" CV5_CONFIG_DIR="$work/env/config/" QT_QPA_PLATFORM=offscreen)

# A fresh version-1 installation with the updater and its update.ini beside it, and no earlier session.
fresh_install() {
    rm -rf "$inst" "$downloads" "$work/env"
    mkdir -p "$work/env/tmp" "$work/env/home" "$work/env/config" "$downloads"
    cp -a "$work/v1" "$inst"
    cp "$program" "$inst/update"
    printf '[Channel]\nalpha=%s/alpha/\nalphaRevno=2\n' "$base" > "$inst/update.ini"
    sync
}

declare -A walls rsss
# label, then the command, timed as a whole process in the installation directory.
measure() {
    local label=$1 code=0
    shift
    (cd "$inst" && env "${export_env[@]}" /usr/bin/time -o "$work/time" -f '%e %M' "$@") >"$work/out" 2>&1 ||
        code=$?
    if [ "$code" -ne 0 ]; then
        echo "$label: exit code $code"; cat "$work/out"; return 1
    fi
    (cd "$inst" && sha512sum --quiet -c "$sums") || { echo "$label: the installation is not version 2"; return 1; }
    read -r wall rss < <(tail -1 "$work/time")
    walls[$label]+="$wall "
    rsss[$label]+="$rss "
    awk -v l="$label" -v w="$wall" -v r="$rss" -v b="$bytes" \
        'BEGIN { printf "%-8s wall %7.2f s  max RSS %7.1f MB  %7.1f MB/s\n", l, w, r / 1024, b / w / 1e6 }'
}

floor="cd '$downloads' && curl --parallel --parallel-max $streams --create-dirs -sS -f -K '$work/curl.cfg' &&
    sha512sum --quiet -c '$sums' && cp -r . '$inst/'"
echo "tree: $(wc -l < "$work/names") files, $bytes bytes; $streams transfers at once; $runs runs each"
for run in $(seq "$runs"); do
    fresh_install
    measure updater ./update --clientupdate
    fresh_install
    measure floor sh -c "$floor"
    fresh_install
    measure floor2 sh -c "xargs sha512sum < '$work/names' > /dev/null && $floor"
done

# One more run with the log on: the time of each stage, from the first log line of each. The log is kept in
# the build directory for a closer look.
fresh_install
touch "$work/env/tmp/cv5_update_log"
(cd "$inst" && env "${export_env[@]}" /usr/bin/time -o "$work/time" -f '%e' ./update --clientupdate) ||
    { echo "the logged run failed"; exit 1; }
cp "$work/env/tmp/corvalink_update_log/"*.log "$build/client_update.log"
echo "stages of a run with its log on (wall $(tail -1 "$work/time") s; log: $build/client_update.log):"
python3 - "$build/client_update.log" <<'PY'
import re, sys
from datetime import datetime
# Where each stage starts: the first line that matches.
stages = [
    ("start-up and the wait before the start", r"Corvalink updater started"),
    ("product ini: download, signature, unpacking", r"\| onStartUpdate"),
    ("planning: installed files hashed, list made", r"Shown: Compiling download and replace list"),
    ("download and check of the files", r"Shown: Downloading files$"),
    ("replacement", r"Shown: Starting file updates"),
    ("deletion step: replaced old copies removed", r"Shown: Starting deleting files"),
    ("removal of the session directory", r"Shown: Remove temporary"),
    ("the wait before the client starts", r"Shown: Update successfully finished"),
    ("client started, program ends", r"\| startCv5Client"),
    ("end", r"Run ended"),
]
stamp = re.compile(r"^(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d:\d{3})")
found = {}
for line in open(sys.argv[1], encoding="utf-8", errors="replace"):
    m = stamp.match(line)
    if not m:
        continue
    text = line.rstrip("\n").replace("\t", " ")
    for label, pattern in stages:
        if label not in found and re.search(pattern, text):
            found[label] = datetime.strptime(m.group(1), "%Y-%m-%d %H:%M:%S:%f")
marks = [(label, found[label]) for label, _ in stages if label in found]
for (label, t), (_, after) in zip(marks, marks[1:]):
    print("  %-48s %7.2f s" % (label, (after - t).total_seconds()))
missing = [label for label, _ in stages if label not in found]
if missing:
    print("  (not in the log: %s)" % ", ".join(missing))
PY

for label in updater floor floor2; do
    printf '%s %s %s\n' "$label" "$(median <<< "${walls[$label]}")" "$(median <<< "${rsss[$label]}")"
done > "$work/medians"
awk -v waits="$fixed_waits" '
    { wall[$1] = $2; rss[$1] = $3; printf "median %-8s wall %7.2f s  max RSS %7.1f MB\n", $1, $2, $3 / 1024 }
    END {
        printf "median updater less its %.1f s of fixed waits: %.2f s\n", waits, wall["updater"] - waits
        printf "ratio updater/floor  %.2f\n", wall["updater"] / wall["floor"]
        printf "ratio updater/floor2 %.2f\n", wall["updater"] / wall["floor2"]
    }' "$work/medians"
print_load end
