#!/usr/bin/env bash
# A private dovecot for the network tests and the benchmark, run inside a
# network namespace of its own (scripts/in-netns).
#
#   dovecot-fixture.sh start DIR [OWNER_PID]   set up DIR and start both servers
#   dovecot-fixture.sh stop DIR                stop them and remove DIR
#
# 127.0.0.1 and ::1 offer TLS: POP3 on 110, 1100 and 995 (TLS at once), IMAP
# on 143 and 220 (STARTTLS) and 993 (TLS at once). 127.0.0.2 runs a second instance
# without TLS, IMAP on 143 and 220, since dovecot offers STARTTLS on every
# plain port once TLS is configured. 127.0.0.3 accepts OAuth2 alone, and of it
# XOAUTH2 alone: POP3 on 110 and 995, IMAP on 143 (STARTTLS) and 993.
# 127.0.0.4 hides NOTIFY (imap_capability), as servers with IDLE alone do:
# IMAP on 143 (STARTTLS) and 993. Every instance takes passwords as a server
# left at dovecot's defaults does: a refused one is answered after 2 s
# (auth_failure_delay), later logins from an address that failed wait for
# its penalty (anvil), and a user has at most 10 IMAP connections from one
# address (mail_max_userip_connections). The
# certificate, DIR/tls.crt, names localhost, 127.0.0.3 and 127.0.0.4; DIR/certs is a
# trust directory that holds it. When OWNER_PID is given, the servers go when
# that process does, even if it never calls stop.
#
# 127.0.0.1 and ::1 take the passwords with PLAIN and LOGIN, and tokens with
# OAUTHBEARER and XOAUTH2. Tokens are checked by dovecot's oauth2 passdb
# against tokeninfo.py on 127.0.0.1:8080, which knows one good token per
# user and calls every other inactive; DIR/introspection.log lists the tokens
# it was asked about, one a line.
#
# Mailboxes (new = unseen):
#   user   password      token         mail
#   alice  secret        alice-token   INBOX 5 messages, 2 new; Work 4 messages, 3 new
#   bob    pa"ss\word    bob-token     INBOX 1 message, 1 new
#   carol  empty         carol-token   INBOX empty
#   firstname.lastname@mail.example-corp.org (40 characters), with a password
#   of 64 (in the passwd file below)   INBOX 3 messages, 2 new
set -euo pipefail

action=${1:?start or stop}
dir=${2:?directory}
instances="introspection tls plain oauth defaults"

stop() {
  # Each instance leads a process group of its own (setsid): the group goes
  # with all of dovecot's children.
  local instance groups=()
  for instance in $instances; do
    [ -f "$dir/$instance.pid" ] && groups+=("-$(cat "$dir/$instance.pid")")
  done
  if [ ${#groups[@]} -gt 0 ]; then
    kill -TERM -- "${groups[@]}" 2>/dev/null || true
    # All at once: an ended process stays a zombie until init reaps it, which
    # may take a while, so each group has the same short grace.
    for _ in $(seq 6); do
      local alive=0 group
      for group in "${groups[@]}"; do kill -0 -- "$group" 2>/dev/null && alive=1; done
      [ $alive -eq 1 ] || break
      sleep 0.05
    done
    kill -KILL -- "${groups[@]}" 2>/dev/null || true
  fi
  if [ -f "$dir/watch.pid" ] && [ "$(cat "$dir/watch.pid")" != "${BASHPID:-}" ]; then
    kill "$(cat "$dir/watch.pid")" 2>/dev/null || true
  fi
  rm -rf "$dir"
}

message() {  # file subject
  printf 'From: sender@example.org\nTo: user@example.org\nSubject: %s\n\nbody of %s\n' "$2" "$2" >"$1"
}

maildir() {  # path seen unseen
  mkdir -p "$1/cur" "$1/new" "$1/tmp"
  local i
  for ((i = 1; i <= $2; i++)); do message "$1/cur/100$i.M$i.quorvik:2,S" "seen $i"; done
  for ((i = 1; i <= $3; i++)); do message "$1/new/200$i.M$i.quorvik" "new $i"; done
}

# Both passwords and tokens; tokens alone, and XOAUTH2 alone.
passwords_and_tokens() {
  cat <<AUTH
auth_mechanisms = plain login oauthbearer xoauth2
passdb {
  driver = passwd-file
  mechanisms = plain login
  args = scheme=PLAIN $dir/passwd
}
passdb {
  driver = oauth2
  mechanisms = oauthbearer xoauth2
  args = $dir/oauth2.conf.ext
}
AUTH
}

passwords() {
  cat <<AUTH
auth_mechanisms = plain login
passdb {
  driver = passwd-file
  args = scheme=PLAIN $dir/passwd
}
AUTH
}

xoauth2_only() {
  cat <<AUTH
auth_mechanisms = xoauth2
passdb {
  driver = oauth2
  mechanisms = xoauth2
  args = $dir/oauth2.conf.ext
}
AUTH
}

config() {  # instance address ssl protocols listeners auth [settings]
  local instance=$1 address=$2 ssl=$3
  mkdir -p "$dir/$instance/run" "$dir/$instance/state"
  cat >"$dir/$instance/dovecot.conf" <<CONF
base_dir = $dir/$instance/run
state_dir = $dir/$instance/state
log_path = $dir/$instance/log
listen = $address
protocols = $4
ssl = $ssl
ssl_cert = <$dir/tls.crt
ssl_key = <$dir/tls.key
ssl_min_protocol = TLSv1.2
# The tests of the ports without TLS (plain passwords there) and of the
# connection limit need these two; nothing else departs from dovecot's
# defaults.
disable_plaintext_auth = no
login_trusted_networks = 127.0.0.0/8
mail_location = maildir:$dir/mail/%u
default_internal_user = nobody
default_internal_group = nogroup
default_login_user = nobody
$6
userdb {
  driver = static
  args = uid=nobody gid=nogroup home=$dir/mail/%u
}
$5
${7:-}
CONF
}

listeners() {  # service name:port[:ssl]...
  echo "service $1 {"
  shift
  local listener name port ssl
  for listener in "$@"; do
    IFS=: read -r name port ssl <<<"$listener"
    echo "  inet_listener $name {"
    echo "    port = $port"
    [ -z "$ssl" ] || echo "    ssl = yes"
    echo "  }"
  done
  echo "}"
}

start() {
  rm -rf "$dir"
  mkdir -p "$dir"
  chmod 755 "$dir"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj /CN=localhost -addext subjectAltName=DNS:localhost,IP:127.0.0.3,IP:127.0.0.4 \
    -keyout "$dir/tls.key" -out "$dir/tls.crt" 2>/dev/null
  chmod 644 "$dir/tls.key"
  # A trust directory that vouches for the server (SSL_CERT_DIR=DIR/certs).
  mkdir "$dir/certs"
  cp "$dir/tls.crt" "$dir/certs/quorvik-test.pem"
  openssl rehash "$dir/certs" 2>/dev/null || c_rehash "$dir/certs" >/dev/null
  cat >"$dir/passwd" <<'USERS'
alice:secret
bob:pa"ss\word
carol:empty
firstname.lastname@mail.example-corp.org:Xq7#vL2!pR9&mT4^wZ8*eN3%kB6+hJ1=cF5~dG0-aS7_yU2.oI9@lQ4?rE8;tY3$
USERS
  cat >"$dir/tokens" <<'TOKENS'
alice-token alice
bob-token bob
carol-token carol
TOKENS
  cat >"$dir/oauth2.conf.ext" <<CONF
introspection_mode = post
introspection_url = http://127.0.0.1:8080/introspect
username_attribute = username
active_attribute = active
active_value = true
CONF
  maildir "$dir/mail/alice" 3 2
  maildir "$dir/mail/alice/.Work" 1 3
  maildir "$dir/mail/bob" 0 1
  maildir "$dir/mail/carol" 0 0
  maildir "$dir/mail/firstname.lastname@mail.example-corp.org" 1 2
  chown -R nobody:nogroup "$dir/mail"

  config tls "127.0.0.1, ::1" yes "imap pop3" "$(listeners imap-login imap:143 imap220:220 imaps:993:ssl)
$(listeners pop3-login pop3:110 hotmail:1100 pop3s:995:ssl)" "$(passwords_and_tokens)"
  config plain 127.0.0.2 no imap "$(listeners imap-login imap:143 imap220:220 imaps:0)" \
    "$(passwords)"
  config oauth 127.0.0.3 yes "imap pop3" "$(listeners imap-login imap:143 imaps:993:ssl)
$(listeners pop3-login pop3:110 pop3s:995:ssl)" "$(xoauth2_only)"
  config defaults 127.0.0.4 yes imap "$(listeners imap-login imap:143 imaps:993:ssl)" \
    "$(passwords)" "protocol imap {
  imap_capability = IMAP4rev1 SASL-IR LOGIN-REFERRALS ID ENABLE IDLE LITERAL+ LIST-EXTENDED LIST-STATUS
}"
  setsid python3 "$(dirname "$0")/tokeninfo.py" 127.0.0.1 8080 "$dir/tokens" \
    "$dir/introspection.log" </dev/null >>"$dir/introspection.out" 2>&1 &
  echo $! >"$dir/introspection.pid"
  for instance in tls plain oauth defaults; do
    setsid dovecot -F -c "$dir/$instance/dovecot.conf" \
      </dev/null >>"$dir/$instance/log" 2>&1 &
    echo $! >"$dir/$instance.pid"
  done

  local ports="127.0.0.1/110 127.0.0.1/1100 127.0.0.1/995 127.0.0.1/143 127.0.0.1/220"
  ports="$ports 127.0.0.1/993 127.0.0.2/143 127.0.0.2/220 ::1/143 ::1/993 ::1/995"
  ports="$ports 127.0.0.3/110 127.0.0.3/995 127.0.0.3/143 127.0.0.3/993 127.0.0.1/8080"
  ports="$ports 127.0.0.4/143 127.0.0.4/993"
  local port instance
  for port in $ports; do
    for _ in $(seq 200); do
      (exec 3<>"/dev/tcp/$port") 2>/dev/null && continue 2
      for instance in $instances; do
        kill -0 "$(cat "$dir/$instance.pid")" 2>/dev/null || break 2
      done
      sleep 0.025
    done
    echo "dovecot-fixture: $port does not answer" >&2
    cat "$dir"/*/log "$dir/introspection.out" >&2 || true
    stop
    exit 1
  done

  if [ -n "${3:-}" ]; then
    owner=$3
    (
      trap '' HUP
      while kill -0 "$owner" 2>/dev/null; do sleep 0.5; done
      stop
    ) </dev/null >/dev/null 2>&1 &
    echo $! >"$dir/watch.pid"
  fi
}

case "$action" in
  start) start "$@" ;;
  stop) stop ;;
  *) echo "usage: $0 start|stop DIR [OWNER_PID]" >&2; exit 2 ;;
esac
