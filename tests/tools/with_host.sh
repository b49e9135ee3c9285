#!/usr/bin/env bash
# with_host.sh TQ4815 COMMAND...: runs COMMAND with a machine host running (TQ4815_HOST names
# its socket), so that every program COMMAND starts uses that one machine instead of booting
# its own. The host is stopped afterwards, also when COMMAND fails; the result fails when
# COMMAND fails, when the host does not end cleanly, or when its verifier reported anything.
# The host's log is left in with_host.log in the current folder.
set -u
tool=$1
shift
folder=$(mktemp -d /tmp/tq4815-ci-host.XXXXXX)
socket=$folder/host.sock
log=$PWD/with_host.log
"$tool" host --socket "$socket" 2>"$log" &
host=$!
cleanup() { kill -KILL "$host" 2>/dev/null; rm -rf "$folder"; }
trap cleanup EXIT
for _ in $(seq 600); do
  [ -S "$socket" ] && break
  kill -0 "$host" 2>/dev/null || { echo "with_host: the host did not start:"; cat "$log"; exit 1; }
  sleep 0.05
done
TQ4815_HOST=$socket "$@"
status=$?
if ! "$tool" host --stop --socket "$socket"; then
  echo "with_host: the host did not stop"
  status=1
fi
wait "$host" || { echo "with_host: the host ended with status $?"; status=1; }
if grep -q verifier "$log"; then
  echo "with_host: the host's verifier reported:"
  cat "$log"
  status=1
fi
exit $status
