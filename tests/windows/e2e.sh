#!/usr/bin/env bash
# The Windows program as a player runs it, under Wine: a fresh prefix made by wineboot, the game's
# key written with `wine reg`, the game's account tree under drive_c, the reference guild site (the
# Linux program) on loopback, message boxes answered with xdotool. Then the installer's round trip.
#   tests/windows/e2e.sh <windows build folder> <linux bin folder>
# Prints one PASS/FAIL line per check; exits non-zero when one failed.
set -uo pipefail

WIN_BUILD="$(cd "$1" && pwd)"
LINUX_BIN="$(cd "$2" && pwd)"
EXE="$WIN_BUILD/bin/RostrelUploader.exe"
SETUP="$(ls "$WIN_BUILD"/RostrelUploader-*-setup.exe 2> /dev/null | head -1)"

work="$(mktemp -d)"
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
pids=()
prog=
failed=0
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2> /dev/null; done
    wineserver -k > /dev/null 2>&1
    wait 2> /dev/null
    [ -n "${KEEP_WORK:-}" ] && echo "kept $work" || rm -rf "$work"
}
trap cleanup EXIT

check() { # condition-status description
    if [ "$1" = 0 ]; then echo "PASS: $2"; else echo "FAIL: $2"; failed=1; fi
}
# waits up to $1 seconds for the command after it to succeed, answering boxes meanwhile
wait_for() {
    local seconds=$1
    shift
    for _ in $(seq "$seconds"); do
        "$@" && return 0
        sleep 1
    done
    return 1
}

display=90
while [ -e "/tmp/.X11-unix/X$display" ] || [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp > "$work/xvfb.log" 2>&1 &
pids+=($!)
export DISPLAY=":$display"
wait_for 10 xdpyinfo > /dev/null 2>&1

echo "e2e-windows: preparing a Wine prefix ($(wine --version))"
wineboot --init > /dev/null 2>&1
wine reg add 'HKLM\Software\Blizzard Entertainment\World of Warcraft' /v InstallPath /t REG_SZ \
    /d 'C:\Games\World of Warcraft\' /reg:32 /f > /dev/null 2>&1
# Windows has this key; a fresh prefix may not.
wine reg add 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' /reg:32 /f > /dev/null 2>&1

C="$WINEPREFIX/drive_c"
GAME="$C/Games/World of Warcraft"
ACCOUNTS="$GAME/WTF/Account"
profile() { # entry-folder text
    mkdir -p "$ACCOUNTS/$1/SavedVariables"
    printf 'RostrelDB = {\r\n\t["name"] = "%s",\r\n\t["gold"] = %s,\r\n}\r\n' "$2" "$RANDOM" \
        > "$ACCOUNTS/$1/SavedVariables/Rostrel.lua"
}
profile KESTREL77 account
profile KESTREL77/Mossgate/Tovrin Tovrin
profile "KESTREL77/Mossgate/Élodie" "Élodie"
profile GRAYWING/Emberfall/Sallow Sallow
# Wine shows dot-named folders as hidden: never listed.
profile .backup backup
OLD="$GAME/Interface/AddOns/Coffrin"
mkdir -p "$OLD"
printf -- '-- Coffrin inventory scanner\r\n-- Uploads to Varnhold guild sites\r\n' > "$OLD/Coffrin.lua"
printf '## Title: Coffrin\r\n' > "$OLD/Coffrin.toc"
printf '<Ui></Ui>\r\n' > "$OLD/Coffrin.xml"

FILES="$work/filehost"
mkdir -p "$FILES" "$work/site"
printf '3.0.2' > "$FILES/RostrelVersion"
printf 'Rostrel.toc\r\nRostrel.lua\r\n' > "$FILES/RostrelFiles"
printf '## Title: Rostrel\r\n## Version: 3.0.2\r\n' > "$FILES/Rostrel.toc"
printf 'RostrelDB = RostrelDB or {}\r\n' > "$FILES/Rostrel.lua"
start_site() { # listen address
    "$LINUX_BIN/rostrel-guild-site" --listen "$1" --port-file "$work/site.port" --user kestrel:gryphon \
        --user graywing:ember --data "$work/site" --files "$FILES" >> "$work/site.log" 2>&1 &
    site_pid=$!
    pids+=($!)
}
start_site 127.0.0.1:0
wait_for 10 test -s "$work/site.port"
SITE="127.0.0.1:$(cat "$work/site.port")"
export ROSTREL_FILE_HOST="$SITE"

received() { curl -s "http://$SITE/received.json" | python3 -c 'import json,sys; print(len(json.load(sys.stdin)))'; }
received_by() { curl -s "http://$SITE/received.json" | python3 -c '
import json, sys
print(sum(1 for r in json.load(sys.stdin) if r["login"] == sys.argv[1]))' "$1"; }
# Presses Enter on every message box of the program (titled "Rostrel Uploader" or its own title).
answer_boxes() {
    local box
    for box in $(xdotool search --name '^(Rostrel Uploader|Error|Warning!)$' 2> /dev/null); do
        xdotool windowfocus --sync "$box" key Return > /dev/null 2>&1
    done
}
at_least() { # count login
    answer_boxes
    [ "$(received_by "$2")" -ge "$1" ]
}
stop_program() {
    wineserver -k > /dev/null 2>&1
    timeout 30 wineserver -w > /dev/null 2>&1 # until every Wine process has ended
}
# The site stored each upload as a file; does one hold exactly these bytes?
stored() {
    local f
    for f in "$work/site"/*/*-Rostrel.lua; do cmp -s "$f" "$1" && return 0; done
    return 1
}

APP="$work/app"
mkdir -p "$APP"
cp "$EXE" "$APP/"
printf 'kestrel\r\n%s\r\ngryphon\r\n' "$SITE" > "$APP/settings.txt"
printf 'GRAYWING\\Emberfall\\Sallow\r\n' > "$APP/noupload.txt"

echo "e2e-windows: the remembered login, the watcher and the addon update"
(cd "$APP" && exec wine RostrelUploader.exe > "$work/program.log" 2>&1) &
prog=$!
disown "$prog" # killed by wineserver -k, unreported
# The login posts one profile; the watcher's first pass posts each of the three ticked ones.
wait_for 90 at_least 4 kestrel
check $? "logged in and uploaded every ticked profile ($(received_by kestrel) uploads)"
all=0
for p in KESTREL77 KESTREL77/Mossgate/Tovrin "KESTREL77/Mossgate/Élodie"; do
    stored "$ACCOUNTS/$p/SavedVariables/Rostrel.lua" || all=1
done
check $all "each profile arrived byte for byte, the non-ASCII name included"
! stored "$ACCOUNTS/GRAYWING/Emberfall/Sallow/SavedVariables/Rostrel.lua"
check $? "the entry in noupload.txt was not uploaded"
! stored "$ACCOUNTS/.backup/SavedVariables/Rostrel.lua"
check $? "the hidden folder was not listed"

# Logged in, the program sits in Wine's tray.
import -window root "$WIN_BUILD/e2e-tray.png" 2> /dev/null

before=$(received_by kestrel)
printf '\t-- played again\r\n' >> "$ACCOUNTS/KESTREL77/Mossgate/Tovrin/SavedVariables/Rostrel.lua"
# One pass over three entries takes 15 s.
wait_for 40 at_least $((before + 1)) kestrel
stored "$ACCOUNTS/KESTREL77/Mossgate/Tovrin/SavedVariables/Rostrel.lua"
check $? "a changed profile went up again within one watcher pass"

# A character played for the first time: its folder is noticed and its profile uploaded.
profile KESTREL77/Thornwatch/Brask Brask
new_one() { answer_boxes; stored "$ACCOUNTS/KESTREL77/Thornwatch/Brask/SavedVariables/Rostrel.lua"; }
wait_for 45 new_one
check $? "a new character's profile was found and uploaded"

# The player's interface reset: WTF renamed away by another program while this one watches, and back.
wine cmd /c move 'C:\Games\World of Warcraft\WTF' 'C:\Games\World of Warcraft\WTF.old' > /dev/null 2>&1
check $? "WTF renamed away while the program watches"
sleep 6 # a turn without the account folder
wine cmd /c move 'C:\Games\World of Warcraft\WTF.old' 'C:\Games\World of Warcraft\WTF' > /dev/null 2>&1
check $? "and back"
before=$(received_by kestrel)
printf '\t-- after the reset\r\n' >> "$ACCOUNTS/KESTREL77/Mossgate/Tovrin/SavedVariables/Rostrel.lua"
wait_for 45 at_least $((before + 1)) kestrel
check $? "after WTF came back, the next change went up"

addon_done() {
    answer_boxes
    grep -q "3.0.2" "$GAME/Interface/AddOns/Rostrel/Rostrel.toc" 2> /dev/null && [ ! -e "$OLD/Coffrin.lua" ]
}
wait_for 30 addon_done
check $? "the addon update landed in Interface\\AddOns\\Rostrel and the old addon is gone"

# The site away for a minute while the player plays on: no box, and the change arrives after.
kill "$site_pid" && wait "$site_pid" 2> /dev/null
printf '\t-- away\r\n' >> "$ACCOUNTS/KESTREL77/SavedVariables/Rostrel.lua"
sleep 60
! xdotool search --onlyvisible --name '^(Rostrel Uploader|Error)$' > /dev/null 2>&1
check $? "no box while the site was away"
start_site "$SITE"
back() { stored "$ACCOUNTS/KESTREL77/SavedVariables/Rostrel.lua"; }
wait_for 150 back
check $? "the changed profile arrived once the site was back"
stop_program

echo "e2e-windows: Run on Startup"
# Without a password the window stays up; the box is clicked where the layout puts it.
printf 'kestrel\r\n%s\r\n\r\n' "$SITE" > "$APP/settings.txt"
(cd "$APP" && exec wine RostrelUploader.exe > "$work/program2.log" 2>&1) &
prog=$!
disown "$prog" # killed by wineserver -k, unreported
wid=$(timeout 30 xdotool search --sync --name '^Rostrel Profile Uploader$' | head -1)
run_value() { wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' /v RostrelUploader /reg:32 2> /dev/null | tr -d '\r' | grep -c RostrelUploader.exe; }
click_box() {
    local geometry width height border top
    answer_boxes
    geometry=$(xwininfo -id "$wid" | tr -d ' ')
    width=$(sed -n 's/^Width://p' <<< "$geometry")
    height=$(sed -n 's/^Height://p' <<< "$geometry")
    # The client area is 353 x 466 pixels; Wine draws the frame and caption around it.
    border=$(((width - 353) / 2))
    top=$((height - 466 - border))
    xdotool windowfocus --sync "$wid" > /dev/null 2>&1
    xdotool mousemove --window "$wid" $((border + 226)) $((top + 136)) click 1 > /dev/null 2>&1
}
# clicks the box until the command after it succeeds, up to five times, giving each click a moment
click_until() {
    for _ in 1 2 3 4 5; do
        "$@" && return 0
        click_box
        wait_for 2 "$@" && return 0
    done
    "$@"
}
ticked() { [ "$(run_value)" = 1 ]; }
viewable() { xwininfo -id "$wid" 2> /dev/null | grep -q 'Map State: IsViewable'; }
wait_for 10 viewable
import -window "$wid" "$WIN_BUILD/e2e-window.png" 2> /dev/null
cleared() { [ "$(run_value)" = 0 ]; }
click_until ticked
check $? "ticking Run on Startup writes the Run value ($(wine reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Run' /v RostrelUploader /reg:32 2> /dev/null | tr -d '\r' | sed -n 's/.*REG_SZ *//p'))"
click_until cleared
check $? "clearing it removes the value"
stop_program

echo "e2e-windows: started at logon, in the system folder"
printf 'graywing\r\n%s\r\nember\r\n' "$SITE" > "$APP/settings.txt"
: > "$APP/noupload.txt"
(cd "$C/windows/system32" && exec wine "$APP/RostrelUploader.exe" > "$work/program3.log" 2>&1) &
prog=$!
disown "$prog" # killed by wineserver -k, unreported
wait_for 60 at_least 1 graywing
check $? "the settings in the program's folder were used"
[ ! -e "$C/windows/system32/settings.txt" ]
check $? "nothing was written into the system folder"
stop_program

echo "e2e-windows: the game's key missing"
wine reg delete 'HKLM\Software\Blizzard Entertainment\World of Warcraft' /reg:32 /f > /dev/null 2>&1
(cd "$APP" && exec wine RostrelUploader.exe > "$work/program4.log" 2>&1) &
prog=$!
disown "$prog" # killed by wineserver -k, unreported
missing_pid=$prog
box=$(timeout 30 xdotool search --sync --name '^Rostrel Uploader$' | head -1)
[ -n "$box" ]
check $? "the fatal box appears"
ended() { answer_boxes; ! kill -0 "$missing_pid" 2> /dev/null; }
wait_for 20 ended
check $? "the program ends after it"
stop_program

echo "e2e-windows: two flavours of the game, a realm named beyond the code page"
REALM="WTF/Account/NORTH/Гордунни/Вера/SavedVariables"
for f in _retail_ _classic_era_; do
    mkdir -p "$C/Games/Flavoured/$f/$REALM" && printf '%s\r\n' "$f" > "$C/Games/Flavoured/$f/$REALM/Rostrel.lua"
done
wine reg add 'HKLM\Software\Blizzard Entertainment\World of Warcraft' /v InstallPath /t REG_SZ \
    /d 'C:\Games\Flavoured\_classic_era_\' /reg:32 /f > /dev/null 2>&1
printf 'graywing\r\n%s\r\nember\r\n' "$SITE" > "$APP/settings.txt"
before=$(received_by graywing)
(cd "$APP" && exec wine RostrelUploader.exe > "$work/program6.log" 2>&1) &
disown $! # killed by wineserver -k, unreported
wait_for 60 at_least $((before + 3)) graywing
stored "$C/Games/Flavoured/_retail_/$REALM/Rostrel.lua" && stored "$C/Games/Flavoured/_classic_era_/$REALM/Rostrel.lua"
check $? "each flavour's profile arrived byte for byte from its Cyrillic realm folder"
stop_program

if [ -n "$SETUP" ]; then
    echo "e2e-windows: the installer"
    wine "$SETUP" /S > /dev/null 2>&1
    INSTALLED=$(find "$C/users" -path '*AppData/Local/Programs/RostrelUploader' -type d | head -1)
    [ -n "$INSTALLED" ] && [ -f "$INSTALLED/RostrelUploader.exe" ]
    check $? "a silent install puts the program in %LOCALAPPDATA%\\Programs\\RostrelUploader"
    LINK=$(find "$C/users" -name 'Rostrel Uploader.lnk' | head -1)
    [ -n "$LINK" ]
    check $? "and a Start-menu shortcut"
    wine reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall\RostrelUploader' /v UninstallString > /dev/null 2>&1
    check $? "and lists its uninstaller for the user"
    wine reg add 'HKLM\Software\Blizzard Entertainment\World of Warcraft' /v InstallPath /t REG_SZ \
        /d 'C:\Games\World of Warcraft\' /reg:32 /f > /dev/null 2>&1
    printf 'kestrel\r\n%s\r\ngryphon\r\n' "$SITE" > "$INSTALLED/settings.txt"
    before=$(received_by kestrel)
    # Started as the Start menu starts it: through the shortcut, in the shortcut's folder.
    (cd "$C" && exec wine start /unix "$LINK" > "$work/program5.log" 2>&1) &
    prog=$!
    disown "$prog" # killed by wineserver -k, unreported
    wait_for 60 at_least $((before + 1)) kestrel
    check $? "started from the shortcut, it reads settings.txt in the install folder"
    stop_program
    wine "$INSTALLED/Uninstall.exe" /S > /dev/null 2>&1
    gone() { [ -n "$INSTALLED" ] && [ ! -e "$INSTALLED/RostrelUploader.exe" ] && [ ! -e "$LINK" ]; }
    wait_for 20 gone
    check $? "a silent uninstall removes the program and the shortcut"
    [ -n "$INSTALLED" ] && [ -f "$INSTALLED/settings.txt" ]
    check $? "and keeps settings.txt"
fi

[ "$failed" = 0 ] && echo "e2e-windows: all passed" || echo "e2e-windows: FAILED"
exit "$failed"
