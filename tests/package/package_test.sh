#!/usr/bin/env bash
# package_test.sh <build dir> <version>: the packages built with cpack from this build, listed, checked
# by lintian, unpacked into a temporary root (never installed into this machine) and run from there.
set -euo pipefail
build=$1 version=$2 work=$(mktemp -d) agent_pid=""
trap 'status=$?; [ -z "$agent_pid" ] || { kill "$agent_pid"; wait "$agent_pid"; } 2>/dev/null || true; rm -rf "$work"; exit $status' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail cpack; }
deb=$work/out/vemloconfig_${version}_amd64.deb
tgz=$work/out/vemloconfig-${version}-linux-amd64.tar.gz
[ -f "$deb" ] && [ -f "$tgz" ] || { ls "$work/out"; fail "package names"; }

# What the .deb installs, with owner and mode; nothing more, nothing less.
expected_deb="-rwxr-xr-x root/root ./usr/bin/vemloconfig-agent
-rwxr-xr-x root/root ./usr/bin/vemloctl
-rw-r--r-- root/root ./usr/lib/systemd/user/vemloconfig-agent.service
-rw-r--r-- root/root ./usr/share/bash-completion/completions/vemloctl
-rw-r--r-- root/root ./usr/share/doc/vemloconfig/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/vemloconfig/copyright
-rw-r--r-- root/root ./usr/share/fish/vendor_completions.d/vemloctl.fish
-rw-r--r-- root/root ./usr/share/lintian/overrides/vemloconfig
-rw-r--r-- root/root ./usr/share/man/man1/vemloconfig-agent.1.gz
-rw-r--r-- root/root ./usr/share/man/man1/vemloctl.1.gz
-rw-r--r-- root/root ./usr/share/zsh/vendor-completions/_vemloctl"
actual_deb=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $1, $2, $6}' | LC_ALL=C sort -k3,3)
[ "$actual_deb" = "$expected_deb" ] || { diff <(echo "$expected_deb") <(echo "$actual_deb") >&2; fail "deb contents"; }
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"

expected_tgz="vemloconfig-$version-linux-amd64/README.md
vemloconfig-$version-linux-amd64/SECURITY.md
vemloconfig-$version-linux-amd64/completions/_vemloctl
vemloconfig-$version-linux-amd64/completions/vemloctl.bash
vemloconfig-$version-linux-amd64/completions/vemloctl.fish
vemloconfig-$version-linux-amd64/vemloconfig-agent
vemloconfig-$version-linux-amd64/vemloconfig-agent.1
vemloconfig-$version-linux-amd64/vemloconfig-agent.service
vemloconfig-$version-linux-amd64/vemloctl
vemloconfig-$version-linux-amd64/vemloctl.1"
actual_tgz=$(tar -tzf "$tgz" | grep -v "/$" | LC_ALL=C sort)
[ "$actual_tgz" = "$expected_tgz" ] || { diff <(echo "$expected_tgz") <(echo "$actual_tgz") >&2; fail "tarball contents"; }

# lintian: no error, no warning.
lintian --fail-on error,warning --no-tag-display-limit "$deb" >"$work/lintian.log" 2>&1 || { cat "$work/lintian.log"; fail lintian; }
[ -z "$(dpkg-deb -f "$deb" Depends Pre-Depends Recommends)" ] || fail "the package depends on something"
dpkg-deb -x "$deb" "$work/root"
bin=$work/root/usr/bin
grep -qx 'ExecStart=/usr/bin/vemloconfig-agent' "$work/root/usr/lib/systemd/user/vemloconfig-agent.service" || fail ExecStart

# The unpacked programs: exit status and first line; the man pages render without a warning; the bash
# completion loads.
while IFS='|' read -r program args status first; do
  code=0 out=$("$bin/$program" $args 2>/dev/null) || code=$?
  [ "$code:$(head -n1 <<<"$out")" = "$status:$first" ] || fail "$program $args: exit $code, printed $(head -n1 <<<"$out")"
done <<EOF_TABLE
vemloconfig-agent|--version|0|vemloconfig-agent $version
vemloctl|--version|0|vemloctl $version
vemloconfig-agent|--no-such-option|2|
EOF_TABLE
for page in vemloconfig-agent vemloctl; do
  rendered=$(MANWIDTH=80 man --warnings -l "$work/root/usr/share/man/man1/$page.1.gz" 2>"$work/man.err")
  [ ! -s "$work/man.err" ] && grep -q "EXIT STATUS" <<<"$rendered" || { cat "$work/man.err"; fail "man $page"; }
done
# The bash completion: the words before the one being completed, that word, what it offers.
while IFS='|' read -r words current offered; do
  got=$(bash -c 'source "$1" && shift && COMP_WORDS=("$@") COMP_CWORD=$(($# - 1)) && { _vemloctl; echo "${COMPREPLY[*]}"; }' \
    _ "$work/root/usr/share/bash-completion/completions/vemloctl" $words "$current") || fail "bash completion: $words"
  [ "$got" = "$offered" ] || fail "bash completion after '$words $current': $got"
done <<EOF_TABLE
vemloctl||install uninstall status lever help --help --version
vemloctl install --only||claude codex cursor kimi copilot gemini
vemloctl install --only|claude,|claude,codex claude,cursor claude,kimi claude,copilot claude,gemini
vemloctl uninstall --only|kimi,claude,c|kimi,claude,codex kimi,claude,cursor kimi,claude,copilot
EOF_TABLE

# A hook against an agent started from the unpacked tree, on the simulated keyboard at lever 0.
mkdir "$work/home" "$work/run"
export HOME=$work/home VEMLO_SOCKET=$work/run/agent.sock VEMLO_BLUETOOTH=sim VEMLO_SIM_LEVER=0
"$bin/vemloconfig-agent" >"$work/agent.log" 2>"$work/agent.err" &
agent_pid=$!
# Waits up to 20 s for the agent to link the keyboard, or to end.
for ((i = 0; i < 400; i++)); do
  grep -q "通知通道已订阅" "$work/agent.log" || ! kill -0 "$agent_pid" 2>/dev/null && break
  sleep 0.05
done
grep -q "通知通道已订阅" "$work/agent.log" || { cat "$work/agent.log"; fail "agent from the package"; }
head -n1 "$work/agent.log" | grep -q "] vemloconfig-agent $version 启动$" || fail "first log line: $(head -n1 "$work/agent.log")"
answer=$(echo '{"hook_event_name":"PermissionRequest","tool_name":"Bash"}' | "$bin/vemloconfig-agent" hook PermissionRequest 2>"$work/hook.err")
[ "$answer" = '{"hookSpecificOutput":{"hookEventName":"PermissionRequest","decision":{"behavior":"allow"}}}' ] ||
  fail "hook answer: $answer"
echo "package test passed: $(basename "$deb"), $(basename "$tgz")"
