# Sourced by the benchmarks, which run from the repository's top directory.

# build_bench <build-dir> <target>...: a Release build of the targets with the benchmarks on and the tests off.
# Quiet; on failure it prints what the build said and ends the script.
build_bench() {
    local build=$1 output
    shift
    output=$(cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCORVALINK_BUILD_BENCHMARKS=ON \
        -DCORVALINK_BUILD_TESTS=OFF 2>&1 && nice cmake --build "$build" --target "$@" 2>&1) ||
        { echo "$output"; exit 1; }
}

# The median of the numbers on standard input, separated by blanks or line breaks.
median() {
    tr -s ' \t' '\n' | grep . | sort -g |
        awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Serves a directory with nginx on 127.0.0.1, on a free port.
# start_nginx <work-dir> <root> <path to wait for>: sets nginx_pid and base (http://127.0.0.1:<port>) and
# returns once the path is served. The caller's exit trap stops it with: kill "$nginx_pid".
start_nginx() {
    local work=$1 root=$2 probe=$3 port
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    mkdir -p "$work/nginx/logs"
    cat > "$work/nginx/nginx.conf" <<CONF
worker_processes 1;
user root;
pid $work/nginx/nginx.pid;
error_log $work/nginx/logs/error.log;
events { worker_connections 256; }
http {
    access_log off;
    sendfile on;
    keepalive_requests 100000;
    client_body_temp_path $work/nginx/body;
    proxy_temp_path $work/nginx/proxy;
    fastcgi_temp_path $work/nginx/fastcgi;
    uwsgi_temp_path $work/nginx/uwsgi;
    scgi_temp_path $work/nginx/scgi;
    server {
        listen 127.0.0.1:$port;
        root $root;
    }
}
CONF
    nginx -p "$work/nginx" -c "$work/nginx/nginx.conf" -g 'daemon off;' &
    nginx_pid=$!
    base="http://127.0.0.1:$port"
    for _ in $(seq 50); do
        curl -sf -o /dev/null "$base/$probe" && return 0
        sleep 0.1
    done
    echo "nginx did not serve $base/$probe" >&2
    return 1
}

# print_load <when>: the load averages, printed at a script's start and end: a figure is only worth its load.
print_load() {
    echo "load average (1, 5, 15 min) at $1: $(cut -d' ' -f1-3 /proc/loadavg)"
}
