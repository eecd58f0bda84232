# Shared by the bench scripts (sourced from the project root).

# Ends a process this script started: SIGTERM, up to five seconds, then
# SIGKILL.
bench_stop() {
  local p=$1
  [ -n "$p" ] && kill -0 "$p" 2>/dev/null || return 0
  kill -TERM "$p" 2>/dev/null || true
  for _ in $(seq 1 50); do
    kill -0 "$p" 2>/dev/null || return 0
    sleep 0.1
  done
  kill -KILL "$p" 2>/dev/null || true
}

# Writes WORK/tamber.ini from the shipped INI with the manifest store, the
# syslog store and the boot image inside WORK; further arguments are more
# sed expressions (-e '...').
bench_write_ini() {
  local work=$1
  shift
  mkdir -p "$work/manifest" "$work/syslog"
  sed -E -e "s|^(manifest[[:space:]]*=).*|\1 $work/manifest|" \
         -e "s|^(syslog[[:space:]]*=).*|\1 $work/syslog|" \
         -e "s|^(load[[:space:]]*=).*|\1 $work/firmware.bin|" \
         "$@" etc/tamber.ini >"$work/tamber.ini"
}
