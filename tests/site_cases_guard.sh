# The upload script's cases about outsiders, sourced by tests/site_cases.sh.
# shellcheck shell=bash

head -c 200000 /dev/zero > "$RUN/slow.lua" # past curl's 64 KB buffer, which goes at once

# Never served: the settings, hidden files, editor backups, a private/ moved inside the web root.
cp "$RUN/public/config.php" "$RUN/public/config.php~"
cp "$RUN/public/memberbankupload.php" "$RUN/public/memberbankupload.php.bak"
mkdir "$RUN/public/private" && cp "$RUN/private/users.json" "$RUN/public/private/"
for name in '#config.php#' config.php.1 'config (copy).php'; do cp "$RUN/public/config.php" "$RUN/public/$name"; done
cp "$RUN/public/config.php" "$RUN/public/files/Rostrel/Rostrel.lua~"
for path in config.php config.php~ memberbankupload.php.bak .user.ini private/users.json %23config.php%23 config.php.1 \
    config%20%28copy%29.php profiles.php files/Rostrel/Rostrel.lua~; do
    code=$(curl -s -o /dev/null -w '%{http_code}' "http://$SITE/$path")
    [ "$code" = 404 ] || fail "/$path was served ($code)"
done

# 30 connections from one address, their bodies crawling in, leave a member's upload from another
# address working (the servers here have room for about 30 connections).
slow=()
for _ in $(seq 30); do
    curl -s -o /dev/null --limit-rate 1K --interface 127.0.0.6 -F "thefile=@$RUN/slow.lua" \
        "http://$SITE/memberbankupload.php" & slow+=($!)
done
sleep 1
[ "$(post kestrel gryphon "$RUN/small.lua" Rostrel.lua --max-time 5)" = "Inventory Uploaded 200" ] \
    || fail "one address's slow connections locked a member out"
kill "${slow[@]}" 2> /dev/null; wait "${slow[@]}" 2> /dev/null || true

# Slow clients hold no PHP worker (there are two): with two bodies trickling in, a member's upload
# is answered at once.
slow=()
for _ in 1 2; do
    post kestrel x "$RUN/slow.lua" Rostrel.lua --limit-rate 50K --interface 127.0.0.5 > /dev/null &
    slow+=($!)
done
sleep 1
[ "$(post kestrel gryphon "$RUN/small.lua" Rostrel.lua --max-time 2)" = "Inventory Uploaded 200" ] \
    || fail "slow bodies held PHP"
wait "${slow[@]}"

# What an outsider can make the site store: 20 tries with a 6 MB login (a quote in it, which must not
# end the log's field) add a few lines and a record. The log has rotated at log_bytes, two files kept.
{ printf '"forged'; head -c 6000000 /dev/zero | tr '\0' a; } > "$RUN/login"
before=$(du -sb "$data" | cut -f1)
for _ in $(seq 20); do
    curl -s -o /dev/null --interface 127.0.0.3 -F "login=<$RUN/login" -F password=x -F "thefile=@$RUN/small.lua" \
        "http://$SITE/memberbankupload.php" || true
done
grown=$(($(du -sb "$data" | cut -f1) - before))
[ "$grown" -lt 12000 ] || fail "20 outsider tries grew the data folder by $grown bytes"
[ "$(ls "$data" | grep -c upload.log)" = 2 ] && [ "$(stat -c %s "$data/upload.log")" -lt 7000 ] || fail "log rotation"
grep -q ' rejected login "\\x22forgedaaa[a]*" (cut from 6000007 bytes)$' "$data"/upload.log* || fail "the log's login"

# The limiter: behind the trusted proxy (127.0.0.2) a client counts by X-Forwarded-For (the nearest
# address), an IPv4-mapped one as its IPv4 address; a burst checks no more passwords than tries in a
# row; a record that cannot be written (as on a full disk) refuses the check.
via() { post "$2" "$3" "$RUN/small.lua" Rostrel.lua --interface 127.0.0.2 -H "X-Forwarded-For: 198.51.100.7, $1"; }
for _ in 1 2 3 4 5 6; do via ::ffff:10.0.0.1 kestrel wrong > /dev/null; done
[ "$(via ::ffff:10.0.0.1 kestrel gryphon | tail -c 3)" = 429 ] \
    && [ "$(via ::ffff:10.0.0.2 kestrel gryphon)" = "Inventory Uploaded 200" ] \
    || fail "a client behind the proxy, or an IPv4-mapped one, shared another's failures"
burst=()
for _ in $(seq 40); do via 10.0.0.3 kestrel wrong > /dev/null & burst+=($!); done
wait "${burst[@]}"
checked=$(cat "$data"/upload.log* | grep -c ' 10\.0\.0\.3 rejected login')
[ "$checked" = 5 ] || fail "40 tries at once checked $checked passwords"
# Requests that check no password, from 500 addresses, leave no record.
before=$(ls "$data/failures" | wc -l)
for i in $(seq 500); do
    printf 'next\nurl = "http://%s/memberbankupload.php"\nheader = "X-Forwarded-For: 10.8.%d.%d"\n' \
        "$SITE" $((i / 250)) $((i % 250))
    printf 'data = "x"\noutput = /dev/null\n'
done | tail -n +2 > "$RUN/formless"
curl -s --interface 127.0.0.2 -K "$RUN/formless" || true
[ "$(ls "$data/failures" | wc -l)" = "$before" ] || fail "requests without a form left records"
ln -s /dev/null "$data/failures/0a000004"
[ "$(via 10.0.0.4 kestrel gryphon)" = "The site cannot check logins at the moment. 503" ] \
    && grep -q ' 10\.0\.0\.4 cannot keep count of failed logins' "$data"/upload.log* || fail "an unwritable record"
