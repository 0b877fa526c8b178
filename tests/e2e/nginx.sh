# Starts and stops a private nginx on 127.0.0.1 serving a folder. Sourced by the
# end-to-end tests, the demo and the benchmarks.
#   nginx_start ROOT PORT [EXTRA_HTTP_DIRECTIVES]   (sets NGINX_DIR)
#   nginx_stop

NGINX_BIN=${NGINX_BIN:-/usr/sbin/nginx}

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
        listen 127.0.0.1:$port;
        root $root;
    }
}
CONF
    "$NGINX_BIN" -p "$NGINX_DIR" -c "$NGINX_DIR/nginx.conf" || return 1
    local i
    for i in $(seq 1 50); do
        [ -s "$NGINX_DIR/nginx.pid" ] && return 0
        sleep 0.1
    done
    echo "nginx did not start" >&2
    return 1
}

nginx_stop() {
    [ -n "${NGINX_DIR:-}" ] || return 0
    if [ -s "$NGINX_DIR/nginx.pid" ]; then
        local pid
        pid=$(cat "$NGINX_DIR/nginx.pid")
        kill "$pid" 2>/dev/null || true
        local i
        for i in $(seq 1 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
    fi
    rm -rf "$NGINX_DIR"
    NGINX_DIR=
}
