# Sourced by the build scripts. A build's output goes to a log, and only
# ninja's progress reaches the screen: on a terminal one line kept current,
# elsewhere (CI's log) a line at each tenth of the build, so that a long
# first build is never silent.
build_progress() {  # <log>: reads the build's output on standard input
  local log=$1 line n m tenth last=-1 tty=0
  [ -t 2 ] && tty=1
  : >"$log"
  while IFS= read -r line; do
    printf '%s\n' "$line" >>"$log"
    [[ $line =~ ^\[([0-9]+)/([0-9]+)\]\  ]] || continue
    n=${BASH_REMATCH[1]} m=${BASH_REMATCH[2]}
    if [ "$tty" -eq 1 ]; then
      printf '\r  building %s: %d/%d' "$BUILD_LABEL" "$n" "$m" >&2
    else
      tenth=$(( n * 10 / m ))
      [ "$tenth" -gt "$last" ] && { last=$tenth; echo "  building $BUILD_LABEL: $n/$m" >&2; }
    fi
  done
  [ "$tty" -eq 1 ] && printf '\r\033[K' >&2
  return 0
}

# Parallel jobs for builds and tests: VANTOR_JOBS, else every core.
build_jobs() {
  local jobs=${VANTOR_JOBS:-$(nproc)}
  [[ $jobs =~ ^[1-9][0-9]*$ ]] || { echo "VANTOR_JOBS must be a positive whole number, not '$jobs'" >&2; jobs=$(nproc); }
  echo "$jobs"
}
