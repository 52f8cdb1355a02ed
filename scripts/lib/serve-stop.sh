# How scripts/serve ends its connections: those that never got a session (a TLS handshake that
# drags on), and, when it stops, every one, each session first finishing the request it is in.
# Sourced by scripts/serve, which defines $state, $listener, $web, $handshake_seconds,
# $closing_grace and pause() before it sources this.

# True when the connection of socat $1 (started at $2) has had a session.
had_session() {
  local mark
  { read -r mark <"$state/started/$1"; } 2>/dev/null && [ "$mark" = "$2" ]
}

# Waits until none of the processes named "PID:START" in the arguments runs.
wait_gone() {
  local p
  for p in "$@"; do
    while proc_alive "${p%:*}" "${p#*:}"; do pause 0.05; done
  done
}

# Ends connections that still have no session handshake_seconds after they were accepted, so
# that a client trickling its TLS hello holds a place in --max-sessions for no longer.
end_stalled_handshakes() {
  local kid mark now
  proc_now
  now=$REPLY
  proc_children "$listener"
  for kid in "${CHILDREN[@]}"; do
    proc_start "$kid" || continue
    had_session "$kid" "$REPLY" && continue
    ((now - REPLY >= handshake_seconds * PROC_TICKS)) || continue
    proc_children "$kid"
    [ ${#CHILDREN[@]} -eq 0 ] && kill -TERM "$kid" 2>/dev/null || true
  done
  for mark in "$state"/started/*; do
    [ -e "$mark" ] || continue
    read -r now <"$mark" || continue
    proc_alive "${mark##*/}" "$now" || rm -f "$mark"
  done
}

# Stops taking connections, asks every session to end (each finishes the request it is in,
# answers it and closes its database connection) and waits until every connection has ended.
end_sessions() {
  [ -n "$listener" ] || return 0
  local kid mark connections=() sessions=() handshakes=() web_sessions=0
  # The web endpoint stops the same way by itself: it takes no more connections, tells each of
  # its servers to stop, and passes on their answers. It is waited for at the end.
  if [ -n "$web" ]; then
    proc_children "$web"
    web_sessions=${#CHILDREN[@]}
    kill -TERM "$web" 2>/dev/null || true
  fi
  # Stopped, the listener forks no connection while they are listed; then it ends, and the
  # connections go on without it.
  kill -STOP "$listener" 2>/dev/null || true
  proc_children "$listener"
  for kid in "${CHILDREN[@]}"; do
    proc_start "$kid" && connections+=("$kid:$REPLY")
  done
  kill -TERM "$listener" 2>/dev/null || true
  kill -CONT "$listener" 2>/dev/null || true
  wait "$listener" 2>/dev/null || true
  # Those of a listener that ended by itself are found by their marks.
  for mark in "$state"/started/*; do
    [ -e "$mark" ] || continue
    read -r kid <"$mark" || continue
    kid=${mark##*/}:$kid
    [[ " ${connections[*]} " == *" $kid "* ]] || ! proc_alive "${kid%:*}" "${kid#*:}" ||
      connections+=("$kid")
  done
  # SIGTERM to the servers, not to their socat: socat passes on the answer and then the end.
  for kid in "${connections[@]}"; do
    proc_children "${kid%:*}"
    if [ ${#CHILDREN[@]} -gt 0 ]; then
      for mark in "${CHILDREN[@]}"; do
        proc_start "$mark" && sessions+=("$mark:$REPLY") && { kill -TERM "$mark" 2>/dev/null || true; }
      done
    elif ! had_session "${kid%:*}" "${kid#*:}"; then
      handshakes+=("$kid")
      kill -TERM "${kid%:*}" 2>/dev/null || true
    fi
  done
  echo "scripts/serve: stopping: $((${#sessions[@]} + web_sessions)) session(s) finish their" \
    "requests" >&2
  wait_gone "${sessions[@]}" "${handshakes[@]}"
  # Then socat passes on the rest of the answer and closes the connection. A client that reads
  # it closes too; one that does not is not waited for beyond the grace.
  local deadline
  proc_now
  deadline=$((REPLY + closing_grace * PROC_TICKS))
  for kid in "${connections[@]}"; do
    while proc_alive "${kid%:*}" "${kid#*:}"; do
      proc_now
      ((REPLY < deadline)) || { kill -TERM "${kid%:*}" 2>/dev/null || true; }
      pause 0.05
    done
  done
  [ -z "$web" ] || wait "$web" 2>/dev/null || true
}
