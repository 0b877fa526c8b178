# Starts and stops a private nginx on 127.0.0.1 serving a folder. Sourced by the
# end-to-end tests, the demo and the benchmarks.
#   nginx_start ROOT PORT [EXTRA_HTTP_DIRECTIVES]   (sets NGINX_DIR; NGINX_LISTEN: options
#       of the listen directive)
#   nginx_start_tls ROOT PORT CERTIFICATE KEY   (https on PORT)
#   nginx_stop
#   build_port BUILD_DIR   (the port the build's updater asks for)
#   poll SECONDS COMMAND...   (every 0.1 s until the command succeeds)

NGINX_BIN=${NGINX_BIN:-/usr/sbin/nginx}

# Runs the command every 0.1 s until it succeeds; false when it still fails after the
# given number of seconds.
poll() {  # seconds command...
    local tenths=$(($1 * 10)) i
    shift
    for ((i = 0; i < tenths; i++)); do
        "$@" && return 0
        sleep 0.1
    done
    "$@"
}
running() { kill -0 "$1" 2>/dev/null; }
not() { ! "$@"; }
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# The port of the server host a build was configured with (UPDATER_SERVER_HOST); 80
# when the host names none.
build_port() {  # build folder
    local port
    port=$(sed -nE 's/^UPDATER_SERVER_HOST:STRING=[^:]*:?([0-9]*)$/\1/p' "$1/CMakeCache.txt")
    echo "${port:-80}"
}

nginx_start_tls() {
    NGINX_TLS="ssl" NGINX_SERVER="ssl_certificate $3; ssl_certificate_key $4;" nginx_start "$1" "$2"
}

nginx_start() {
    local root=$1 port=$2 extra=${3:-}
    NGINX_DIR=$(mktemp -d /tmp/updater-nginx.XXXXXX)
    cat >"$NGINX_DIR/nginx.conf" <<CONF
worker_processes 1;
pid $NGINX_DIR/nginx.pid;
error_log $NGINX_DIR/error.log;
events { worker_connections 256; }
http {
    access_log $NGINX_DIR/access.log;
    client_body_temp_path $NGINX_DIR/body;
    proxy_temp_path $NGINX_DIR/proxy;
    fastcgi_temp_path $NGINX_DIR/fastcgi;
    uwsgi_temp_path $NGINX_DIR/uwsgi;
    scgi_temp_path $NGINX_DIR/scgi;
    default_type application/octet-stream;
    sendfile on;
    keepalive_requests 100000;
    $extra
    server {
        listen 127.0.0.1:$port ${NGINX_TLS:-} ${NGINX_LISTEN:-};
        root $root;
        ${NGINX_SERVER:-}
    }
}
CONF
    "$NGINX_BIN" -p "$NGINX_DIR" -c "$NGINX_DIR/nginx.conf" || return 1
    poll 5 test -s "$NGINX_DIR/nginx.pid" && return 0
    echo "nginx did not start" >&2
    return 1
}

nginx_stop() {
    [ -n "${NGINX_DIR:-}" ] || return 0
    if [ -s "$NGINX_DIR/nginx.pid" ]; then
        local pid
        pid=$(cat "$NGINX_DIR/nginx.pid")
        kill "$pid" 2>/dev/null || true
        poll 5 not running "$pid"
    fi
    rm -rf "$NGINX_DIR"
    NGINX_DIR=
}
