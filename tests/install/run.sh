#!/usr/bin/env bash
# Installs the build tree into a temporary prefix and builds the host against
# it twice, with the same compiler flags: as a CMake project through the
# package config, and with make through pkg-config. Runs both hosts and the
# installed znget; the first host also transfers from a local nginx (HTTP and
# HTTPS with a certificate made here) and its 200 sequential requests must
# share one connection in nginx's log.
# With a toolchain file as the fourth argument the host is cross-built for
# Windows and run under Wine with the two DLLs beside it.
# The first host also gets a copy of the HTTP library under another name, a
# module of its own that it unloads while a client of it lives.
set -euo pipefail
build="$1"; src="$(cd "$2" && pwd)"; flags="${3:-}"; toolchain="${4:-}"
work=$(mktemp -d)
nginx_pid=""
cleanup() {
  if [ -n "$nginx_pid" ]; then kill "$nginx_pid" 2>/dev/null || true; wait "$nginx_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# ---- the local nginx ----
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1]); s.close()'
}
mkdir -p "$work/www" "$work/out" "$work/tmp"
head -c $((3 * 1024 * 1024 + 17)) /dev/urandom >"$work/www/data.bin"
echo small >"$work/www/small.txt"
echo small >"$work/www/op.txt"
openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=localhost -days 2 \
  -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
http_port=$(free_port)
https_port=$(free_port)
cat >"$work/nginx.conf" <<CONF
daemon off;
master_process off;
worker_processes 1;
pid $work/nginx.pid;
error_log $work/error.log;
events { worker_connections 64; }
http {
  log_format conn '\$connection "\$request" \$status';
  access_log $work/access.log conn;
  client_body_temp_path $work/tmp;
  proxy_temp_path $work/tmp;
  fastcgi_temp_path $work/tmp;
  uwsgi_temp_path $work/tmp;
  scgi_temp_path $work/tmp;
  keepalive_timeout 120s;
  keepalive_requests 10000;
  if_modified_since before;
  server {
    listen 127.0.0.1:$http_port;
    listen 127.0.0.1:$https_port ssl;
    ssl_certificate $work/cert.pem;
    ssl_certificate_key $work/key.pem;
    root $work/www;
    location = /redirect { return 302 /data.bin; }
    location = /echo {
      default_type text/plain;
      return 200 "m=\$request_method;l=\$content_length;n=\$http_x_num;s=\$http_x_str;h=\$http_x_line;t=\$content_type;";
    }
    location = /named {
      add_header Content-Disposition 'attachment; filename="named.bin"';
      return 200 "named";
    }
  }
}
CONF
/usr/sbin/nginx -p "$work" -c "$work/nginx.conf" -e "$work/error.log" &
nginx_pid=$!
for _ in $(seq 1 100); do
  if (exec 3<>"/dev/tcp/127.0.0.1/$http_port") 2>/dev/null && (exec 3<>"/dev/tcp/127.0.0.1/$https_port") 2>/dev/null; then
    break
  fi
  kill -0 "$nginx_pid" 2>/dev/null || { cat "$work/error.log" >&2; exit 1; }
  sleep 0.1
done

# The 200 sequential requests for small.txt all appear on one connection.
one_connection() {
  local conns
  conns=$(grep '"GET /small.txt ' "$work/access.log" | cut -d' ' -f1 | sort -u)
  [ "$(grep -c '"GET /small.txt ' "$work/access.log")" = 200 ] && [ "$(echo "$conns" | wc -l)" = 1 ] || {
    echo "small.txt was not fetched 200 times on one connection:" >&2
    cut -d' ' -f1 "$work/access.log" | uniq -c >&2
    return 1
  }
}

cmake --install "$build" --prefix "$work/prefix" >/dev/null
if [ -n "$toolchain" ]; then
  # A mingw-w64 host links its runtime statically; a Microsoft-ABI host
  # imports the Visual C++ runtime as /MD does (the toolchain's default).
  link=(-DCMAKE_EXE_LINKER_FLAGS=-static)
  case "$(basename "$toolchain")" in *msvc*) link=() ;; esac
  cmake -S "$src" -B "$work/host" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DdaDuzaDuvidoVo_DIR="$work/prefix/lib/cmake/daDuzaDuvidoVo" "${link[@]}" >/dev/null
  cmake --build "$work/host" >/dev/null
  cp "$work/prefix/bin/"*.dll "$work/host/"
  cp "$work/prefix/bin/daDuzaDuvidoVo.dll" "$work/host/znunload.dll"
  # Wine's drive Z: is the Linux root. A program that dies of a fault under
  # Wine may still exit with 0: the host's last line tells.
  wine "$work/host/znhost.exe" "http://127.0.0.1:$http_port" "https://127.0.0.1:$https_port" \
    "Z:$work/www/data.bin" "Z:$work/out" znunload.dll | grep "^host ok"
  one_connection
  exit 0
fi
cmake -S "$src" -B "$work/host" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
cmake --build "$work/host" >/dev/null

mkdir "$work/make"
printf '%s\n\t%s\n' 'znhost: host.cpp' \
  '$(CXX) -std=c++17 $(FLAGS) $$(pkg-config --cflags daDuzaDuvidoVo) $< $$(pkg-config --libs daDuzaDuvidoVo) -o $@' \
  >"$work/make/Makefile"
PKG_CONFIG_PATH="$(dirname "$(find "$work/prefix" -name daDuzaDuvidoVo.pc)")" \
  make -s -C "$work/make" VPATH="$src" FLAGS="$flags" >/dev/null

export LD_LIBRARY_PATH="$work/prefix/lib:$work/prefix/lib64:${LD_LIBRARY_PATH:-}"
cp -L "$(find "$work/prefix" -name libdaDuzaDuvidoVo.so)" "$work/znunload.so"
"$work/host/znhost" "http://127.0.0.1:$http_port" "https://127.0.0.1:$https_port" "$work/www/data.bin" "$work/out" \
  "$work/znunload.so"
one_connection
"$work/make/znhost"
"$work/prefix/bin/znget" --help >/dev/null
