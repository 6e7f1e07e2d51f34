#!/usr/bin/env bash
# Starts and stops a clamd of the project's own, for the engine tests (a
# CTest fixture) and the demo: Debian's clamd (tools/install-clamd.sh), in
# the foreground, on a free loopback port, with a configuration and a
# database directory of its own under DIR (in the build tree), holding only
# the signatures of DB_SOURCE (the project's sample rules are
# tools/clamd-rules). The system's clamav services are not touched and no
# signatures are downloaded.
#
#   clamd.sh start DIR DB_SOURCE   (a CTest fixture's setup; the demo)
#   clamd.sh stop DIR              (its cleanup)
#
# `start` returns once clamd answers zPING with PONG, and writes its port to
# DIR/port for the Windows tests. clamd runs under `timeout`, so that it goes
# even if the cleanup never runs (the test run was killed).
set -euo pipefail

command=${1:?usage: clamd.sh start DIR DB_SOURCE | stop DIR}
dir=${2:?missing DIR}
lifetime_s=3600

stop() {
  rm -f "$dir/port"
  [ -s "$dir/pid" ] || return 0
  local pid
  pid=$(cat "$dir/pid")
  rm -f "$dir/pid"
  # Only the process that this script started: the recorded pid, and only
  # while it is still the `timeout` running this directory's clamd.
  if ! grep -qF "$dir/clamd.conf" "/proc/$pid/cmdline" 2>/dev/null; then return 0; fi
  kill -TERM "$pid" 2>/dev/null || true
  # clamd ends within a second of TERM; after 5 s it is killed.
  for _ in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  pkill -KILL -f -- "--config-file=$dir/clamd.conf" 2>/dev/null || true
}

# True once clamd on port $1 answers zPING with PONG.
answers() {
  timeout 2 bash -c '
    exec 3<>"/dev/tcp/127.0.0.1/$1" || exit 1
    printf "zPING\0" >&3
    IFS= read -r -d "" reply <&3 || exit 1
    [ "$reply" = PONG ]' _ "$1" 2>/dev/null
}

case "$command" in
  stop)
    stop
    ;;
  start)
    source_db=${3:?missing DB_SOURCE}
    clamd=$(command -v clamd || echo /usr/sbin/clamd)
    if [ ! -x "$clamd" ]; then
      echo "clamd: clamd is not installed (run tools/install-clamd.sh as root)" >&2
      exit 1
    fi
    stop
    mkdir -p "$dir"
    rm -rf "$dir/db" "$dir/tmp"
    mkdir -p "$dir/db" "$dir/tmp"
    cp "$source_db"/* "$dir/db/"
    # A port from the dynamic range; one that another program holds makes
    # clamd exit at start, and the next is tried.
    for attempt in $(seq 10); do
      port=$(( 20000 + (RANDOM * 32768 + RANDOM) % 40000 ))
      cat >"$dir/clamd.conf" <<CONF
Foreground yes
TCPSocket $port
TCPAddr 127.0.0.1
DatabaseDirectory $dir/db
TemporaryDirectory $dir/tmp
LogFile $dir/clamd.log
LogTime yes
# 8 MiB streams pass; the size-limit case sends more than this.
StreamMaxLength 10M
MaxThreads 8
SelfCheck 0
CONF
      setsid timeout "$lifetime_s" "$clamd" --foreground "--config-file=$dir/clamd.conf" \
        </dev/null >"$dir/clamd.out" 2>&1 &
      pid=$!
      echo "$pid" >"$dir/pid"
      # clamd loads the few signatures in about a second; 30 s is for a
      # machine under load.
      for _ in $(seq 300); do
        if answers "$port"; then
          echo "$port" >"$dir/port"
          echo "clamd: clamd (pid $pid) answers on 127.0.0.1:$port"
          exit 0
        fi
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
      done
      echo "clamd: attempt $attempt on port $port failed:" >&2
      tail -n 5 "$dir/clamd.out" "$dir/clamd.log" >&2 2>/dev/null || true
      stop
    done
    exit 1
    ;;
  *)
    echo "clamd: unknown command $command" >&2
    exit 2
    ;;
esac
