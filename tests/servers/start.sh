#!/usr/bin/env bash
# Starts every test server into the given (fresh, empty) folder and writes <dir>/env.sh.
# Usage: tests/servers/start.sh <dir>      Stop them with tests/servers/stop.sh <dir>.
set -euo pipefail

if [[ $# -ne 1 ]]; then
  echo "usage: $0 <dir>" >&2
  exit 2
fi
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
mkdir -p "$1"
D="$(cd "$1" && pwd)"
# The system python has asyncssh; another python3 may come first on PATH.
PY=/usr/bin/python3
SSH_USER=tarnwick
SSH_UID=4242
SSH_PASSWORD='pa"ss\word'
KEY_PASSPHRASE='key pass'

die() {
  echo "start.sh: $*" >&2
  for f in "$D"/*.log; do [[ -s "$f" ]] && { echo "--- $f" >&2; tail -n 20 "$f" >&2; }; done
  bash "$HERE/stop.sh" "$D" || true
  exit 1
}

free_port() {
  "$PY" -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# Waits (at most 5 s) until something accepts TCP connections on 127.0.0.1:$1; gives up
# early when the server's pid ($2, optional) has exited.
wait_port() {
  for _ in $(seq 100); do
    # The probe trades greetings before closing, so sshd does not log a failed handshake.
    if (exec 3<>"/dev/tcp/127.0.0.1/$1" && read -r -t 2 _ <&3 && printf 'SSH-2.0-probe\r\n' >&3) \
      2>/dev/null; then return 0; fi
    if [[ -n "${2:-}" ]] && ! kill -0 "$2" 2>/dev/null; then return 1; fi
    sleep 0.05
  done
  return 1
}

# Waits (at most 10 s) for the first line of a file a server writes its port into.
wait_line() {
  for _ in $(seq 200); do
    if [[ -s "$1" ]] && head -n1 "$1" | grep -qE '^[0-9]+$'; then head -n1 "$1"; return 0; fi
    sleep 0.05
  done
  return 1
}

[[ -x /usr/sbin/sshd ]] || die "/usr/sbin/sshd missing (run scripts/deps.sh)"
# Legacy SCP runs the scp binary on the server side.
[[ -x /usr/bin/scp ]] || die "/usr/bin/scp missing (run scripts/deps.sh)"
mkdir -p /run/sshd

# The test account (uid 4242) must be able to walk into its home below <dir> and read
# authorized_keys, which sshd opens with the user's rights.
chmod 755 "$D"
mkdir -p "$D/home" "$D/keys" "$D/fakeroot"
chown "$SSH_UID:$SSH_UID" "$D/home"
chmod 755 "$D/home"

# Client keys: all but id_ed25519_other are authorized. RSA generation takes about a second
# each, so the keys are made in parallel.
K="$D/keys"
ssh-keygen -q -t ed25519 -N '' -C tw-ed25519 -f "$K/id_ed25519" &
ssh-keygen -q -t ecdsa -b 256 -N '' -C tw-ecdsa -f "$K/id_ecdsa" &
ssh-keygen -q -t rsa -b 3072 -m PEM -N '' -C tw-rsa-pem -f "$K/id_rsa_pem" &
ssh-keygen -q -t rsa -b 3072 -N '' -C tw-rsa -f "$K/id_rsa" &
ssh-keygen -q -t ed25519 -N "$KEY_PASSPHRASE" -C tw-ed25519-enc -f "$K/id_ed25519_enc" &
ssh-keygen -q -t rsa -b 3072 -m PEM -N "$KEY_PASSPHRASE" -C tw-rsa-pem-enc -f "$K/id_rsa_pem_enc" &
ssh-keygen -q -t ed25519 -N '' -C tw-other -f "$K/id_ed25519_other" &
ssh-keygen -q -t ed25519 -N '' -f "$D/host_ed25519" &
# wait with pids reports a failed ssh-keygen, which a plain wait would hide.
for pid in $(jobs -p); do wait "$pid" || die "ssh-keygen failed"; done
for k in id_ed25519 id_ecdsa id_rsa_pem id_rsa id_ed25519_enc id_rsa_pem_enc; do
  cat "$K/$k.pub"
done >"$D/authorized_keys"
chmod 644 "$D/authorized_keys"
chmod 600 "$K"/*
chmod 700 "$K"

# Private copies of the account files carry the test account; sshd sees them through bind
# mounts in its own mount namespace, so the machine's accounts stay untouched.
HASH="$(printf '%s' "$SSH_PASSWORD" | openssl passwd -6 -stdin)"
cp /etc/passwd "$D/passwd"
cp /etc/shadow "$D/shadow"
cp /etc/group "$D/group"
printf '%s:x:%s:%s:Tarnwick test:%s:/bin/sh\n' "$SSH_USER" "$SSH_UID" "$SSH_UID" "$D/home" >>"$D/passwd"
printf '%s:%s:19000:0:99999:7:::\n' "$SSH_USER" "$HASH" >>"$D/shadow"
printf '%s:x:%s:\n' "$SSH_USER" "$SSH_UID" >>"$D/group"
chmod 644 "$D/passwd" "$D/group"
chmod 600 "$D/shadow"

# The port is picked free, then sshd binds it; another process could grab it in between, so a
# few attempts are made.
started=""
for attempt in 1 2 3; do
  SSHD_PORT="$(free_port)"
  cat >"$D/sshd_config" <<EOF
ListenAddress 127.0.0.1
Port $SSHD_PORT
HostKey $D/host_ed25519
PidFile $D/sshd.pid
UsePAM no
StrictModes no
PasswordAuthentication yes
KbdInteractiveAuthentication no
PubkeyAuthentication yes
AuthorizedKeysFile $D/authorized_keys
Subsystem sftp internal-sftp
LogLevel ERROR
MaxStartups 100:30:200
MaxSessions 50
EOF
  # unshare without --fork execs, and sh execs sshd, so $! is the pid of sshd itself.
  unshare -m sh -c 'mount --bind "$1/passwd" /etc/passwd && mount --bind "$1/shadow" /etc/shadow \
    && mount --bind "$1/group" /etc/group && exec /usr/sbin/sshd -D -e -f "$1/sshd_config"' \
    sh "$D" </dev/null >>"$D/sshd.log" 2>&1 &
  echo $! >"$D/sshd.pid"
  if wait_port "$SSHD_PORT" "$(cat "$D/sshd.pid")"; then
    started=1
    break
  fi
  kill "$(cat "$D/sshd.pid")" 2>/dev/null || true
  echo "start.sh: sshd attempt $attempt on port $SSHD_PORT failed" >>"$D/sshd.log"
done
[[ -n "$started" ]] || die "sshd did not start"

# Dropbear and ProFTPD's mod_sftp serve the same account, password and keys. Each runs in a mount
# namespace of its own, where a copy of the passwd file gives the account a home of its own
# (<dir>/home-<name>), so that what one server's tests leave there is not seen by the others,
# and where /run is a folder below <dir>: ProFTPD tries a socket there at every start.
run_in_namespace() {
  local name="$1" port="$2"
  shift 2
  mkdir -p "$D/run-$name"
  unshare -m sh -c 'mount --bind "$1/passwd-$2" /etc/passwd && mount --bind "$1/shadow" /etc/shadow \
    && mount --bind "$1/group" /etc/group && mount --bind "$1/run-$2" /run && shift 2 \
    && exec "$@"' sh "$D" "$name" "$@" </dev/null >>"$D/$name.log" 2>&1 &
  echo $! >"$D/$name.pid"
  wait_port "$port" "$(cat "$D/$name.pid")"
}

# Tries three free ports, as for sshd: configure_<name> PORT writes the server's files and sets
# CMD, its command line, which must keep the server in the foreground.
start_other() {
  local name="$1" port attempt
  mkdir -p "$D/home-$name"
  chown "$SSH_UID:$SSH_UID" "$D/home-$name"
  sed "s#:$D/home:#:$D/home-$name:#" "$D/passwd" >"$D/passwd-$name"
  chmod 644 "$D/passwd-$name"
  for attempt in 1 2 3; do
    port="$(free_port)"
    "configure_$name" "$port"
    if run_in_namespace "$name" "$port" "${CMD[@]}"; then
      printf '%s' "$port" >"$D/$name.port"
      return 0
    fi
    kill "$(cat "$D/$name.pid")" 2>/dev/null || true
    echo "start.sh: $name attempt $attempt on port $port failed" >>"$D/$name.log"
  done
  die "$name did not start"
}

# Dropbear reads ~/.ssh/authorized_keys and runs OpenSSH's sftp-server and scp.
configure_dropbear() {
  CMD=(/usr/sbin/dropbear -F -E -m -p "127.0.0.1:$1" -r "$D/dropbear_ed25519"
       -P "$D/dropbear.pidfile")
}

# ProFTPD takes authorized keys only in RFC 4716 form; in OpenSSH form it accepts the offered
# key and then refuses the signed login. What it writes stays below <dir>: no transfer log in
# /var/log, no control socket in /run.
configure_proftpd() {
  cat >"$D/proftpd.conf" <<EOF
ServerName "tarnwick test"
ServerType standalone
Port $1
DefaultAddress 127.0.0.1
SocketBindTight on
UseIPv6 off
PidFile $D/proftpd.pidfile
ScoreboardFile $D/proftpd.scoreboard
ControlsEngine off
TransferLog NONE
DelayTable none
WtmpLog off
UseReverseDNS off
RequireValidShell off
User nobody
Group nogroup
ModulePath /usr/lib/proftpd
LoadModule mod_sftp.c
SFTPEngine on
SystemLog $D/proftpd-system.log
SFTPLog $D/proftpd-sftp.log
SFTPHostKey $D/host_ed25519
SFTPAuthorizedUserKeys file:$D/proftpd_authorized_keys
<Directory />
  AllowOverwrite on
</Directory>
EOF
  CMD=(/usr/sbin/proftpd -n -q -c "$D/proftpd.conf")
}

[[ -x /usr/sbin/dropbear && -x /usr/sbin/proftpd && -f /usr/lib/proftpd/mod_sftp.so ]] ||
  die "dropbear or proftpd with mod_sftp missing (run scripts/deps.sh)"
mkdir -p "$D/home-dropbear/.ssh"
cp "$D/authorized_keys" "$D/home-dropbear/.ssh/"
chown -R "$SSH_UID:$SSH_UID" "$D/home-dropbear"
chmod 700 "$D/home-dropbear/.ssh"
dropbearconvert openssh dropbear "$D/host_ed25519" "$D/dropbear_ed25519" >/dev/null 2>&1 ||
  die "dropbearconvert failed"
for k in id_ed25519 id_ecdsa id_rsa_pem id_rsa id_ed25519_enc id_rsa_pem_enc; do
  ssh-keygen -e -f "$K/$k.pub"
done >"$D/proftpd_authorized_keys"
start_other dropbear
start_other proftpd
DROPBEAR_PORT="$(cat "$D/dropbear.port")"
PROFTPD_PORT="$(cat "$D/proftpd.port")"

# A second OpenSSH that takes the password only by keyboard-interactive, through PAM (as
# FreeBSD's default and many PAM setups do); without PAM, Linux's sshd has no working
# keyboard-interactive device.
KBDINT_PORT="$(free_port)"
sed -e "s/^Port .*/Port $KBDINT_PORT/" -e "s#^PidFile .*#PidFile $D/sshd_kbdint.pid#" \
  -e 's/^UsePAM no/UsePAM yes/' -e 's/^PasswordAuthentication yes/PasswordAuthentication no/' \
  -e 's/^KbdInteractiveAuthentication no/KbdInteractiveAuthentication yes/' \
  "$D/sshd_config" >"$D/sshd_kbdint_config"
unshare -m sh -c 'mount --bind "$1/passwd" /etc/passwd && mount --bind "$1/shadow" /etc/shadow \
  && mount --bind "$1/group" /etc/group && exec /usr/sbin/sshd -D -e -f "$1/sshd_kbdint_config"' \
  sh "$D" </dev/null >>"$D/sshd_kbdint.log" 2>&1 &
echo $! >"$D/sshd_kbdint.pid"
wait_port "$KBDINT_PORT" "$(cat "$D/sshd_kbdint.pid")" || die "keyboard-interactive sshd did not start"

# A private SSH agent holding a key the servers refuse, then one they accept, in that order.
ssh-agent -D -a "$D/agent.sock" </dev/null >>"$D/ssh_agent.log" 2>&1 &
echo $! >"$D/ssh_agent.pid"
for _ in $(seq 100); do [[ -S "$D/agent.sock" ]] && break; sleep 0.05; done
SSH_AUTH_SOCK="$D/agent.sock" ssh-add -q "$K/id_ed25519_other" "$K/id_ed25519" 2>>"$D/ssh_agent.log" \
  || die "ssh-add failed"

"$PY" -W ignore "$HERE/fake_sshd.py" "$D" </dev/null >"$D/fake_sshd.port" 2>>"$D/fake_sshd.log" &
echo $! >"$D/fake_sshd.pid"
"$PY" "$HERE/not_ssh.py" "$D" </dev/null >"$D/not_ssh.port" 2>>"$D/not_ssh.log" &
echo $! >"$D/not_ssh.pid"
FAKE_PORT="$(wait_line "$D/fake_sshd.port")" || die "fake_sshd.py did not start"
# The listeners with crafted server-sig-algs follow the main port, one "name port" line each.
for _ in $(seq 100); do grep -q '^siglong ' "$D/fake_sshd.port" && break; sleep 0.05; done
FAKE_SIGDUP_PORT="$(sed -n 's/^sigdup //p' "$D/fake_sshd.port")"
FAKE_SIGLONG_PORT="$(sed -n 's/^siglong //p' "$D/fake_sshd.port")"
[[ -n "$FAKE_SIGDUP_PORT" && -n "$FAKE_SIGLONG_PORT" ]] || die "fake_sshd.py gave no sig-algs ports"
NOSSH_PORT="$(wait_line "$D/not_ssh.port")" || die "not_ssh.py did not start"
wait_port "$FAKE_PORT" "$(cat "$D/fake_sshd.pid")" || die "fake_sshd.py does not accept connections"
wait_port "$NOSSH_PORT" "$(cat "$D/not_ssh.pid")" || die "not_ssh.py does not accept connections"

# A port that was free a moment ago and on which nothing listens: connects are refused.
CLOSED_PORT="$(free_port)"

# Values are single-quoted so that the password's quote and backslash survive sourcing.
q() { printf "'%s'" "${1//\'/\'\\\'\'}"; }
{
  echo "export TW_TEST_DIR=$(q "$D")"
  echo "export TW_SSHD_PORT=$SSHD_PORT"
  echo "export TW_SSHD_KBDINT_PORT=$KBDINT_PORT"
  echo "export TW_AGENT_SOCK=$(q "$D/agent.sock")"
  echo "export TW_SSH_USER=$(q "$SSH_USER")"
  echo "export TW_SSH_PASSWORD=$(q "$SSH_PASSWORD")"
  echo "export TW_SSH_HOME=$(q "$D/home")"
  echo "export TW_SSH_UID=$SSH_UID"
  echo "export TW_KEYS_DIR=$(q "$K")"
  echo "export TW_KEY_PASSPHRASE=$(q "$KEY_PASSPHRASE")"
  echo "export TW_FAKE_PORT=$FAKE_PORT"
  echo "export TW_FAKE_SIGDUP_PORT=$FAKE_SIGDUP_PORT"
  echo "export TW_FAKE_SIGLONG_PORT=$FAKE_SIGLONG_PORT"
  echo "export TW_FAKE_ROOT=$(q "$D/fakeroot")"
  echo "export TW_FAKE_PASSWORD='secret'"
  echo "export TW_NOSSH_PORT=$NOSSH_PORT"
  echo "export TW_CLOSED_PORT=$CLOSED_PORT"
  echo "export TW_DROPBEAR_PORT=$DROPBEAR_PORT"
  echo "export TW_DROPBEAR_HOME=$(q "$D/home-dropbear")"
  echo "export TW_PROFTPD_PORT=$PROFTPD_PORT"
  echo "export TW_PROFTPD_HOME=$(q "$D/home-proftpd")"
} >"$D/env.sh"
echo "servers: sshd 127.0.0.1:$SSHD_PORT, dropbear $DROPBEAR_PORT, proftpd $PROFTPD_PORT, fake_sshd $FAKE_PORT, not_ssh $NOSSH_PORT, closed $CLOSED_PORT; env in $D/env.sh"
