# shellcheck shell=bash disable=SC2154,SC2034 # paths and settings from bench/run; results read by bench/run.d/tls
# Sourced by bench/run.d/tls: how each server stack is started. Every stack
# gets its own processes and loopback ports, so that its CPU can be counted
# apart: front_pids (the TLS terminator; for molly-brown the whole server),
# spawn_pids (the super-server that forks the responder) and, through them,
# the responders they reap. Everything started is in pids, ended by pid.

pids=()
declare -A port_of front_pids spawn_pids

port_free() { ! ss -Hltn "sport = :$1" | grep -q .; }
taken=" "
# A free loopback port, from a per-run starting point, never handed out twice.
next_port=$((20000 + $$ % 20000))
new_port() {
    while [[ "$taken" == *" $next_port "* ]] || ! port_free "$next_port"; do
        next_port=$((next_port + 1))
    done
    taken+="$next_port "
    port=$next_port
}

launch() { # STACK ROLE(front|spawn) CMD... (in the background, ended by pid)
    local stack=$1 role=$2
    shift 2
    "$@" >>"$tmp/$stack.$role.out" 2>&1 &
    pids+=("$!")
    if [ "$role" = front ]; then front_pids[$stack]+="$! "; else spawn_pids[$stack]+="$! "; fi
}
# Plain TCP super-servers running the responder per connection.
tcpserver_on() { # STACK CMD... ; sets port
    local stack=$1
    shift
    new_port
    # -RHl0: no ident or DNS look-ups per connection; -c high enough
    # never to queue connections.
    launch "$stack" spawn tcpserver -q -RHl0 -c 1024 -b 1024 127.0.0.1 "$port" "$@"
}
xinetd_on() { # STACK PROGRAM ARGS ; sets port
    local stack=$1 prog=$2 args=$3
    new_port
    # No connection-rate cap (the default turns the service off past 50
    # connections a second), no instance cap, no logging per connection.
    cat >"$tmp/$stack.xinetd.conf" <<EOF
defaults
{
    log_type       = FILE $tmp/$stack.xinetd.log
    log_on_success =
    log_on_failure =
    instances      = UNLIMITED
    per_source     = UNLIMITED
    cps            = 1000000 1
}
service gemini-bench
{
    type        = UNLISTED
    socket_type = stream
    protocol    = tcp
    wait        = no
    flags       = REUSE NOLIBWRAP
    user        = root
    bind        = 127.0.0.1
    port        = $port
    server      = $prog
    server_args = $args
}
EOF
    launch "$stack" spawn xinetd -dontfork -f "$tmp/$stack.xinetd.conf" -pidfile "$tmp/$stack.xinetd.pid"
}
# TLS terminators; each listens on a new port and sets port to it.
stunnel_on() { # STACK SERVICE-LINES...
    local stack=$1
    shift
    new_port
    {
        echo "foreground = yes"
        echo "pid ="
        echo "syslog = no"
        echo "debug = 0"
        echo "output = $tmp/$stack.stunnel.log"
        echo "[gemini]"
        echo "accept = 127.0.0.1:$port"
        echo "cert = $tmp/cert.pem"
        echo "key = $tmp/key.pem"
        echo "TIMEOUTclose = 0"
        printf '%s\n' "$@"
    } >"$tmp/$stack.stunnel.conf"
    launch "$stack" front stunnel4 "$tmp/$stack.stunnel.conf"
}
nginx_on() { # STACK BACKEND-PORT
    local stack=$1 backend=$2 dir=$tmp/$1.nginx
    new_port
    mkdir -p "$dir"
    # One worker per core, each with its own listening socket
    # (reuseport); no session tickets or cache: clients here never
    # resume, so those would be work for nothing.
    cat >"$dir/nginx.conf" <<EOF
load_module /usr/lib/nginx/modules/ngx_stream_module.so;
worker_processes auto;
pid $dir/nginx.pid;
error_log $dir/error.log warn;
events { worker_connections 4096; }
stream {
    server {
        listen 127.0.0.1:$port ssl reuseport backlog=1024;
        ssl_certificate $tmp/cert.pem;
        ssl_certificate_key $tmp/key.pem;
        ssl_protocols TLSv1.2 TLSv1.3;
        ssl_session_cache off;
        ssl_session_tickets off;
        proxy_pass 127.0.0.1:$backend;
        proxy_connect_timeout 5s;
        proxy_timeout 30s;
    }
}
EOF
    launch "$stack" front nginx -p "$dir/" -e "$dir/error.log" -c "$dir/nginx.conf" -g "daemon off;"
}
haproxy_on() { # STACK BACKEND-PORT
    local stack=$1 backend=$2
    new_port
    # One thread per core; no session cache, and TLS session tickets on:
    # with tickets off, OpenSSL sends TLS 1.3 tickets for the cache all the
    # same, which cannot be used with no cache; stateless tickets cost a
    # full handshake no more, and a client that keeps its session resumes.
    cat >"$tmp/$stack.haproxy.cfg" <<EOF
global
    nbthread $cores
    maxconn 4096
    tune.ssl.cachesize 0
    ssl-default-bind-options ssl-min-ver TLSv1.2
defaults
    mode tcp
    timeout connect 5s
    timeout client 30s
    timeout server 30s
frontend gemini
    bind 127.0.0.1:$port ssl crt $tmp/certkey.pem
    default_backend responder
backend responder
    server responder 127.0.0.1:$backend
EOF
    launch "$stack" front haproxy -db -f "$tmp/$stack.haproxy.cfg"
}

# --- 3b: the shipped terminator configurations, tuned, against the
# settings they had before: session cache and TLS session tickets on
# (OpenSSL's two TLS 1.3 tickets per handshake); nginx with one worker per
# core in both, as the recipe leaves it. The examples/ files themselves
# are started, with only addresses, paths and the account replaced;
# nginx's per-client connection limit is left out of both, since every
# load client here comes from 127.0.0.1, and stunnel logs nothing per
# connection in either. rsa-nginx is tuned-nginx with an RSA-2048
# certificate instead of ECDSA P-256.
tuning_stacks="tuned-nginx before-nginx rsa-nginx tuned-stproxy before-stproxy tuned-stexec before-stexec"
tuning_on() { # STACK
    local stack=$1 variant=${1%%-*} front=${1#*-} backend dir cert=$tmp/cert.pem key=$tmp/key.pem
    if [ "$variant" = rsa ]; then
        [ -s "$tmp/rsa-key.pem" ] || openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost \
            -keyout "$tmp/rsa-key.pem" -out "$tmp/rsa-cert.pem" 2>/dev/null
        cert=$tmp/rsa-cert.pem key=$tmp/rsa-key.pem
    fi
    # The settings as they were shipped before.
    local before=(-e '/^ *config = NumTickets:0$/d; /^ *sessionResume = no$/d; /^ *ssl_session_tickets off;$/d'
        -e '/^ *ssl_conf_command NumTickets 0;$/d'
        -e 's/^\( *\)ssl_session_cache off;$/\1ssl_session_cache shared:gemini_tls:1m;\n\1ssl_session_timeout 1h;/')
    [ "$variant" = before ] || before=(-e '')
    case $front in
    nginx)
        tcpserver_on "$stack" "$tolm" -d "$root"
        backend=$port
        new_port
        dir=$tmp/$stack.nginx
        mkdir -p "$dir"
        sed -e "s|listen 1965 ssl;|listen 127.0.0.1:$port ssl backlog=1024;|" -e '/listen \[::\]:1965/d' \
            -e '/^ *limit_conn /d' -e "s|/etc/nginx/gemini.crt|$cert|; s|/etc/nginx/gemini.key|$key|" \
            -e "s|127.0.0.1:1966|127.0.0.1:$backend|" "${before[@]}" "$top/examples/nginx-stream.conf" \
            >"$dir/gemini.conf"
        printf 'load_module /usr/lib/nginx/modules/ngx_stream_module.so;\nworker_processes auto;\npid %s;\nerror_log %s warn;\nevents { worker_connections 4096; }\ninclude %s;\n' \
            "$dir/nginx.pid" "$dir/error.log" "$dir/gemini.conf" >"$dir/nginx.conf"
        launch "$stack" front nginx -p "$dir/" -e "$dir/error.log" -c "$dir/nginx.conf" -g "daemon off;"
        ;;
    stproxy)
        tcpserver_on "$stack" "$tolm" -d "$root"
        backend=$port
        new_port
        sed -e "s|:::1965|127.0.0.1:$port|" -e "s|/etc/stunnel/gemini.crt|$cert|; s|/etc/stunnel/gemini.key|$key|" \
            -e "s|127.0.0.1:1966|127.0.0.1:$backend|" -e 's|^debug = .*|debug = 0|' "${before[@]}" \
            "$top/examples/stunnel-proxy.conf" >"$tmp/$stack.stunnel.conf"
        launch "$stack" front stunnel4 "$tmp/$stack.stunnel.conf"
        ;;
    stexec)
        new_port
        sed -e "s|:::1965|127.0.0.1:$port|" -e "s|/etc/stunnel/gemini.crt|$cert|; s|/etc/stunnel/gemini.key|$key|" \
            -e "s|^exec = .*|exec = $tolm|; s|^execArgs = .*|execArgs = tolm -d $root|" -e 's|^debug = .*|debug = 0|' \
            "${before[@]}" "$top/examples/stunnel.conf" >"$tmp/$stack.stunnel.conf"
        launch "$stack" front stunnel4 "$tmp/$stack.stunnel.conf"
        ;;
    esac
}

# Starts the stack NAME and records its port.
start_stack() { # NAME
    local name=$1
    case $name in
    stunnel-exec) stunnel_on "$name" "exec = $tolm" "execArgs = tolm -d $root" ;;
    # What any process-per-request responder pays in these stacks: the
    # floor responder in tolm's place.
    stunnel-floor) stunnel_on "$name" "exec = $floor" "execArgs = floor $root" ;;
    stunnel-tcpserver) tcpserver_on "$name" "$tolm" -d "$root" && stunnel_on "$name" "connect = 127.0.0.1:$port" ;;
    nginx-tcpserver) tcpserver_on "$name" "$tolm" -d "$root" && nginx_on "$name" "$port" ;;
    nginx-floor) tcpserver_on "$name" "$floor" "$root" && nginx_on "$name" "$port" ;;
    haproxy-floor) tcpserver_on "$name" "$floor" "$root" && haproxy_on "$name" "$port" ;;
    haproxy-tcpserver) tcpserver_on "$name" "$tolm" -d "$root" && haproxy_on "$name" "$port" ;;
    nginx-tcpserver-glibc) tcpserver_on "$name" "$tolm_glibc" -d "$root" && nginx_on "$name" "$port" ;;
    haproxy-tcpserver-glibc) tcpserver_on "$name" "$tolm_glibc" -d "$root" && haproxy_on "$name" "$port" ;;
    nginx-floor-glibc) tcpserver_on "$name" "$floor_glibc" "$root" && nginx_on "$name" "$port" ;;
    haproxy-floor-glibc) tcpserver_on "$name" "$floor_glibc" "$root" && haproxy_on "$name" "$port" ;;
    nginx-xinetd) xinetd_on "$name" "$tolm" "-d $root" && nginx_on "$name" "$port" ;;
    tuned-* | before-* | rsa-*) tuning_on "$name" ;;
    haproxy-xinetd) xinetd_on "$name" "$tolm" "-d $root" && haproxy_on "$name" "$port" ;;
    molly-brown)
        new_port
        cat >"$tmp/molly.conf" <<EOF
Port = $port
Hostname = "localhost"
CertPath = "$tmp/cert.pem"
KeyPath = "$tmp/key.pem"
DocBase = "$root"
AccessLog = "$tmp/molly-access.log"
ErrorLog = "$tmp/molly-error.log"
EOF
        launch "$name" front molly-brown -c "$tmp/molly.conf"
        ;;
    # The load client's own responder, to show the client's headroom.
    trivial)
        new_port
        launch "$name" front "$gemload" -s "$port" -C "$tmp/cert.pem" -K "$tmp/key.pem" -c 64 -d "$budget"
        ;;
    *) echo "bench/run.d/tls: unknown stack $name" >&2; return 2 ;;
    esac
    port_of[$name]=$port
}
