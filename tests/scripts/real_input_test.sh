#!/usr/bin/env bash
# Real input, end to end: Wisp on its own X display (Xvfb, openbox), driven only by mouse and key events
# from xdotool, against the demo site. Each step is judged by what reached the server (its command log),
# the local disk and the window title. Offscreen widget tests cannot prove these gestures: their events
# skip the window system's focus and routing, and how each view really selects.
# Usage: real_input_test.sh WISP_EXECUTABLE
# Exits 77 (skipped) when Xvfb cannot start. WISP_REAL_INPUT_SHOTS=DIR saves the screen at each failed
# step (needs ImageMagick's import).
set -uo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/tests/scripts/check.sh"
wisp=$(realpath "$1")

work=$(mktemp -d "${TMPDIR:-/tmp}/wisp-real-input.XXXXXX")
pids=()
cleanup() {
  local i
  for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
    kill "${pids[i]}" 2>/dev/null && wait "${pids[i]}" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP

# poll SECONDS COMMAND...: until the command succeeds, at most that long.
poll() {
  local end=$((SECONDS + $1)); shift
  until "$@"; do
    [ "$SECONDS" -lt "$end" ] || return 1
    sleep 0.1
  done
}

if ! command -v Xvfb >/dev/null; then
  echo "SKIPPED: Xvfb is not installed"; exit 77
fi
Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
pids+=("$xvfb_pid")
xvfb_settled() { test -s "$work/display" || ! kill -0 "$xvfb_pid" 2>/dev/null; }
poll 10 xvfb_settled
if ! test -s "$work/display"; then
  echo "SKIPPED: Xvfb could not start: $(tail -n 1 "$work/xvfb.log")"; exit 77
fi
DISPLAY=":$(cat "$work/display")"
export DISPLAY

mkdir -p "$work/home" "$work/config" "$work/runtime" "$work/downloads"
chmod 700 "$work/runtime"
# Away from the user's own settings, as Wisp is below.
HOME=$work/home XDG_CONFIG_HOME=$work/config openbox --sm-disable >"$work/openbox.log" 2>&1 &
pids+=($!)
poll 20 bash -c 'xprop -root _NET_SUPPORTING_WM_CHECK | grep -q "window id"' ||
  { echo "FAILED: openbox runs on $DISPLAY"; exit 1; }

# The demo site, slowed to 2 MB/s so that big.bin takes long enough to be stopped, with a named account
# for the login steps; it ends by itself should this script be killed outright.
log=$work/commands.log
WISP_DEMO_RATE=2000000 WISP_DEMO_LOG=$log WISP_DEMO_ACCOUNT=nobody:secret \
  /usr/bin/python3 "$root/scripts/demo_server.py" "$work/demo" $$ >"$work/demo.out" 2>&1 &
pids+=($!)
poll 30 test -s "$work/demo/port" || { echo "FAILED: the demo site starts"; cat "$work/demo.out"; exit 1; }
site=$work/demo/site
down=$work/downloads

# No ssh-agent of the machine: the SFTP steps log in with the key in $work/home/.ssh alone.
(cd "$work" && exec env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORMTHEME -u XDG_CURRENT_DESKTOP -u SSH_AUTH_SOCK \
  HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime" QT_QPA_PLATFORM=xcb \
  "$wisp" "ftp://127.0.0.1:$(cat "$work/demo/port")/") >"$work/wisp.out" 2>&1 &
wisp_pid=$!
pids+=("$wisp_pid")
win=$(timeout 20 xdotool search --sync --onlyvisible --name '^Wisp' | head -n 1)
[ -n "$win" ] || { echo "FAILED: Wisp's window appears"; cat "$work/wisp.out"; exit 1; }
xdotool windowactivate --sync "$win"

# --- what the steps look at

# The server's command log since the last mark.
mark() { seen=$(wc -l <"$log"); }
logged() { tail -n "+$((seen + 1))" "$log" | grep -qE -- "$1"; }
title() { xdotool getwindowname "$win"; }
# Wisp has a menu or a dialog open beside its main window.
popup() { [ "$(xdotool search --onlyvisible --pid "$wisp_pid" | wc -l)" -gt 1 ]; }
no_popup() { ! popup; }
# The active window's title matches the pattern; keys go there.
active() { [[ "$(xdotool getactivewindow getwindowname 2>/dev/null)" =~ $1 ]]; }
# Idle: the title carries no status and the server has heard nothing for a moment.
idle() {
  local last=-1 quiet=0 n
  for _ in $(seq 100); do
    n=$(wc -l <"$log")
    if [ "$n" = "$last" ] && [ "$(title)" = Wisp ]; then
      quiet=$((quiet + 1))
      [ "$quiet" -lt 3 ] || return 0
    else
      quiet=0
    fi
    last=$n
    sleep 0.1
  done
  return 1
}
size() { stat -c %s "$1" 2>/dev/null || echo 0; }
names_download() { [[ "$(title)" == "Wisp - "*big.bin* ]]; }

# --- what the steps do; coordinates are relative to the window at its default size

click() { xdotool mousemove --window "$win" "$1" "$2" click --repeat "${4:-1}" --delay 100 "${3:-1}"; }
host_tab=(37 24) remote_tab=(97 24)
directory_box=(500 56) up_button=(709 56) ascii_button=(741 56) image_button=(767 56) empty_space=(500 400)
user_box=(228 111) password_box=(228 143) connect_button=(737 166) logoff_button=(737 194)
# Where docs is in the root folder in each view; the second row of Details is binary in the root,
# mixed-line-ends.txt in docs and big.bin in binary.
declare -A docs=([Large Icons]="250 95" [Small Icons]="390 85" [List]="58 125" [Details]="60 139")
second_row=(80 121)

# A menu opened with the right button, then the keys of its mnemonics.
menu() {
  local x=$1 y=$2; shift 2
  click "$x" "$y" 3
  poll 3 popup || return 1
  xdotool key --delay 150 "$@"
}
switch_view() { menu "${empty_space[@]}" v "$1" && poll 3 no_popup; }
# Closes whatever a failed step left open.
dismiss() {
  for _ in 1 2 3; do
    popup || return 0
    xdotool key Escape
    sleep 0.3
  done
}
step() {
  local before=$failures
  check "$@"
  if [ "$failures" -ne "$before" ]; then
    [ -z "${WISP_REAL_INPUT_SHOTS:-}" ] || import -window root "$WISP_REAL_INPUT_SHOTS/$failures.png"
    dismiss
  fi
}
# ACTION...: does it, then passes when Wisp asked the server to change into docs.
opens_docs() { mark; "$@"; poll 3 logged '<- CWD /?docs$' && idle; }
# One level up with the toolbar's button.
up() {
  mark
  click "${up_button[@]}"
  poll 5 logged '<- (CDUP|CWD \.\.)$' && idle && return 0
  echo "FAILED: the toolbar's Up goes one level up (CDUP)"
  failures=$((failures + 1))
}
# Back to the root after a step that may have gone into a folder.
leave() { ! logged '<- CWD ' || up; }
refreshes() { mark; "$@" && poll 3 logged '<- (MLSD|LIST)$' && idle; }
# X Y: a click selects the row there, then Enter.
enter_on() { click "$1" "$2"; sleep 0.3; xdotool key Return; }
# X Y: a click selects the row there, then Refresh from the menu of the empty space beside it.
refresh_beside() { click "$1" "$2"; sleep 0.3; menu "${empty_space[@]}" r; }
# X Y FOLDER: the file's row menu, "Get file(s) as ...", the folder typed into the folder chooser.
get_file() {
  menu "$1" "$2" g || return 1
  poll 10 active '^Select folder for downloaded files$' || return 1
  xdotool key ctrl+a type "$3"
  xdotool key Return
}
# A listing or a file has come over the data connection, and Wisp is idle again.
transfer_done() { poll 10 logged '-> 226 Transfer complete' && idle; }

# --- the steps

seen=0
step "Wisp logs in to the demo site from its command line" poll 15 logged "USER 'anonymous' logged in"
step "the first listing arrives and the title shows no status" transfer_done
read -r width height < <(xdotool getwindowgeometry --shell "$win" | awk -F= '/WIDTH|HEIGHT/ {printf "%s ", $2}')
step "the window opens at its default size, 800x560" test "$width x $height" = "800 x 560"
click "${remote_tab[@]}"

# List is the first view; each switch goes through the background menu of a list view.
for view in List "Large Icons" "Small Icons" Details; do
  read -r x y <<<"${docs[$view]}"
  case $view in
    "Large Icons") step "$view: chosen from the background menu's View" switch_view g ;;
    "Small Icons") step "$view: chosen from the background menu's View" switch_view m ;;
    Details) step "$view: chosen from the background menu's View" switch_view d ;;
  esac
  idle
  step "$view: a double-click on docs opens it (CWD)" opens_docs click "$x" "$y" 1 2
  leave
  step "$view: Enter on the selected docs opens it (CWD)" opens_docs enter_on "$x" "$y"
  leave
  step "$view: the row menu's Open on docs opens it (CWD)" opens_docs menu "$x" "$y" o
  leave
  step "$view: a right-click on empty space beside a selected row gives the background menu: Refresh (MLSD)" \
    refreshes refresh_beside "$x" "$y"
done

type_path() {
  mark
  click "${directory_box[@]}"
  xdotool key ctrl+a type /incoming
  xdotool key Return
  poll 3 logged '<- CWD /incoming$' && idle
}
step "a path typed into the Directory box and Enter opens it (CWD /incoming)" type_path
leave

# Downloads, from Details, where a double-click on a folder is known to work.
mark
read -r x y <<<"${docs[Details]}"
click "$x" "$y" 1 2
poll 3 logged '<- CWD /?docs$' && idle
sed 's/\r$//' "$site/docs/mixed-line-ends.txt" >"$work/expected-ascii.txt"
got=$down/mixed-line-ends.txt
get_ascii() { get_file "${second_row[@]}" "$down" && transfer_done && test -f "$got"; }
get_image_over_it() { get_file "${second_row[@]}" "$down" && poll 5 active '^Get file\(s\) as\.\.\.$' && xdotool key Return; }
click "${ascii_button[@]}"
mark
step "ASCII: Get file(s) as ... with the folder typed into the folder chooser downloads the file" get_ascii
step "ASCII: CR LF became LF, a lone LF and a lone CR stayed" cmp -s "$got" "$work/expected-ascii.txt"
click "${image_button[@]}"
mark
step "Image: the overwrite question asks before the ASCII copy is replaced" get_image_over_it
transfer_done
step "Image: the download is identical to the server's file" cmp -s "$got" "$site/docs/mixed-line-ends.txt"
up

# Escape during a download of big.bin (16 s at the slowed rate).
mark
click "${second_row[@]}" 1 2
poll 3 logged '<- CWD /?binary$' && idle
big=$down/big.bin
mark
get_big() { get_file "${second_row[@]}" "$down" && poll 10 test -s "$big"; }
step "big.bin: the download starts and the file grows on disk" get_big
step "big.bin: the title names the running download" names_download
poll 5 active '^Wisp'
xdotool key Escape
step "big.bin: Escape sends ABOR" poll 5 logged 'ABOR$'
idle
step "big.bin: the title shows no status once stopped" test "$(title)" = Wisp
step "big.bin: the local file is shorter than the whole 32 MiB" test -e "$big" -a "$(size "$big")" -lt $((32 << 20))

# A refused login, then the password typed again where the focus was left.
click "${host_tab[@]}"
mark
click "${logoff_button[@]}"
step "Logoff on the Host page ends the session (QUIT)" poll 5 logged '<- QUIT$'
idle
click "${user_box[@]}"
xdotool key ctrl+a type nobody
click "${password_box[@]}"
xdotool key ctrl+a type wrong
mark
click "${connect_button[@]}"
step "a wrong password is refused by the server (530)" poll 10 logged '-> 530 '
poll 5 logged 'session closed' && idle
mark
xdotool key ctrl+a type secret
xdotool key Return
step "after the refusal the focus is in the password box: typed there, the right password logs in" \
  poll 10 logged "USER 'nobody' logged in"

# --- SFTP: a test sshd of this script's own, on a free port, the host key unknown to Wisp. Its log and
# sftp-server's (opendir, open, close) go to one file, which the steps watch instead of the FTP log;
# sftp-server rather than internal-sftp, whose log would go to a syslog that may not be there.
idle
mark
click "${logoff_button[@]}"
poll 5 logged '<- QUIT$' && idle
ssh=$work/ssh
sftp_server=/usr/lib/openssh/sftp-server
if [ ! -x /usr/sbin/sshd ] || [ ! -x "$sftp_server" ] || ! command -v ssh-keygen >/dev/null; then
  echo "SKIPPED: the SFTP steps: sshd, sftp-server or ssh-keygen is not installed (openssh-server)"
else
  mkdir -p "$ssh/site" "$work/home/.ssh"
  ssh-keygen -q -t ed25519 -N '' -C host -f "$ssh/host_key"
  ssh-keygen -q -t ed25519 -N '' -C wisp -f "$work/home/.ssh/id_ed25519"
  cp "$work/home/.ssh/id_ed25519.pub" "$ssh/authorized_keys"
  head -c 300000 /dev/urandom >"$ssh/site/from-ssh.bin"
  # As root, sshd insists on its privilege separation folder.
  [ "$(id -u)" -ne 0 ] || mkdir -p /run/sshd
  log=$ssh/sshd.log
  sshd_settled() { grep -qs "listening on 127.0.0.1 port $port" "$log" || ! kill -0 "$sshd_pid" 2>/dev/null; }
  # A port free a moment ago may be taken meanwhile: a few tries.
  for _ in 1 2 3; do
    port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
    printf '%s\n' "ListenAddress 127.0.0.1" "Port $port" "HostKey $ssh/host_key" "PidFile none" "UsePAM no" \
      "PasswordAuthentication no" "KbdInteractiveAuthentication no" "StrictModes no" \
      "AuthorizedKeysFile $ssh/authorized_keys" "PermitRootLogin prohibit-password" "LogLevel VERBOSE" \
      "Subsystem sftp $sftp_server -e -l VERBOSE -d $ssh/site 2>>$log" >"$ssh/sshd_config"
    /usr/sbin/sshd -D -e -f "$ssh/sshd_config" >>"$log" 2>&1 &
    sshd_pid=$!
    poll 10 sshd_settled
    kill -0 "$sshd_pid" 2>/dev/null && break
  done
  pids+=("$sshd_pid")
  step "SFTP: the test sshd listens on 127.0.0.1:$port" grep -q "listening on 127.0.0.1 port $port" "$log"

  url_box=(340 80) first_row=(80 103)
  # The host-key dialog's buttons Always and Cancel, relative to the dialog.
  always_button=(395 211) cancel_button=(492 211)
  asks_host_key() {
    dialog=$(timeout 10 xdotool search --sync --onlyvisible --name '^Host key$' | head -n 1)
    [ -n "$dialog" ] && logged "Connection from 127.0.0.1 port [0-9]+ on 127.0.0.1 port $port"
  }
  answer() { xdotool mousemove --window "$dialog" "$1" "$2" click 1; }
  seen=0
  click "${url_box[@]}"
  xdotool key ctrl+a type "sftp://127.0.0.1:$port/"
  click "${connect_button[@]}"
  step "SFTP: the URL typed and Connect clicked reach the sshd, and its unknown host key is asked about" \
    asks_host_key
  answer "${cancel_button[@]}"
  step "SFTP: Cancel clicked: the connection is closed before any login" poll 10 logged '(closed|isconnect).*preauth'
  step "SFTP: after Cancel the title shows no status" idle
  nothing_trusted() { ! logged 'Accepted publickey' && ! test -s "$work/home/.ssh/known_hosts"; }
  step "SFTP: after Cancel nobody logged in, and no key was saved" nothing_trusted
  mark
  click "${connect_button[@]}"
  step "SFTP: Connect again asks again" asks_host_key
  answer "${always_button[@]}"
  step "SFTP: Always clicked: the login with the account's key succeeds" poll 10 logged 'Accepted publickey for '
  read -r type key _ <"$ssh/host_key.pub"
  step "SFTP: Always saved the key in ~/.ssh/known_hosts under [127.0.0.1]:$port" \
    grep -qsxF "[127.0.0.1]:$port $type $key" "$work/home/.ssh/known_hosts"
  step "SFTP: the first listing arrives (opendir of the site's folder)" poll 10 logged "opendir \"$ssh/site\""
  idle
  click "${remote_tab[@]}"
  mark
  get_sftp() { get_file "${first_row[@]}" "$down" && poll 20 logged 'close ".*/from-ssh.bin" bytes read' && idle; }
  step "SFTP: the row menu's Get file(s) as ... downloads the file" get_sftp
  step "SFTP: the download is identical to the server's file" cmp -s "$down/from-ssh.bin" "$ssh/site/from-ssh.bin"
  click "${host_tab[@]}"
  mark
  click "${logoff_button[@]}"
  step "SFTP: Logoff ends the session" poll 10 logged 'session closed for local user'
  idle
  mark
  click "${connect_button[@]}"
  known_key_logs_in() { poll 10 logged 'Accepted publickey for ' && poll 10 logged 'opendir' && no_popup; }
  step "SFTP: a second Connect asks nothing (the key is known) and logs in" known_key_logs_in
  idle
fi
finish
