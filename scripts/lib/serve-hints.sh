# What scripts/serve tells a person: the host to name and the command that connects to its
# listener. Sourced by scripts/serve, which defines $bind, $port, $cert and $key before it
# sources this.

# The host a client names to reach this listener (REPLY): over TLS, a name the certificate is for.
client_host() {
  local host=$bind
  case $host in 0.0.0.0 | :: | '[::]') host=127.0.0.1 ;; esac
  if [ -n "$cert" ]; then
    local check=-checkhost
    [[ $host =~ ^[0-9.]+$|: ]] && check=-checkip
    if ! openssl x509 -in "$cert" -noout "$check" "$host" 2>/dev/null | grep -q ' does match'; then
      # A loopback address is also "localhost"; otherwise the first DNS name of the certificate.
      local names
      names=$(openssl x509 -in "$cert" -noout -ext subjectAltName 2>/dev/null | grep -o 'DNS:[^,]*')
      if ! openssl x509 -in "$cert" -noout -ext subjectAltName 2>/dev/null | grep -q .; then
        # Without subjectAltName a client checks the name against the subject's common name.
        names=$(openssl x509 -in "$cert" -noout -subject -nameopt sep_multiline 2>/dev/null |
          sed -n 's/^ *CN=/DNS:/p')
      fi
      if [[ $host == 127.* ]] && grep -qx 'DNS:localhost' <<<"$names"; then
        host=localhost
      elif [ -n "$names" ]; then
        host=$(head -n 1 <<<"$names")
        host=${host#DNS:}
      fi
    fi
  fi
  REPLY=$host
}

# The command that connects to this listener: the client wants a name the certificate is for,
# and, for a certificate that the system does not trust (a self-signed one), that certificate.
connect_hint() {
  local host args=()
  client_host
  host=$REPLY
  if [ -n "$cert" ]; then
    if openssl verify -untrusted "$cert" "$cert" >/dev/null 2>&1; then
      :
    elif openssl verify -CAfile "$cert" "$cert" >/dev/null 2>&1; then
      args=(--ca "$(realpath "$cert")")
    else
      args=(--ca CA-CERTIFICATE)
    fi
  fi
  local hint tls=()
  [ -z "$cert" ] || tls=(--tls)
  printf -v hint ' %q' "$KORVANE_ROOT/build/korvane" "${tls[@]}" --connect "$host:$port" "${args[@]}"
  echo "${hint# }"
}
