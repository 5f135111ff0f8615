# The upload script's own cases, run by scripts/test-site against nginx, then Apache, with php-fpm
# ($SITE, $RUN, $group), each time on a fresh kit.
# shellcheck shell=bash
fail() { echo "FAILED: $*"; exit 1; }
# A curl that fails prints the status 000 and leaves the verdict to the check that reads it.
post() { # login password file [file name [curl options...]]: prints the answer, a space and the status
    local login=$1 password=$2 file=$3 name=${4:-Rostrel.lua}
    shift $(($# < 4 ? $# : 4))
    curl -s -w ' %{http_code}' "$@" --form-string "login=$login" --form-string "password=$password" \
        -F "thefile=@$file;filename=$name" "http://$SITE/memberbankupload.php" || true
}
# Settings for the cases: 127.0.0.2 is a trusted proxy, the log is small; budget BYTES sets bytes_per_member.
sed -i -e "s|'trusted_proxies' => \[\]|'trusted_proxies' => ['127.0.0.2']|" \
    -e "s|'log_bytes' => .*|'log_bytes' => 6000,|" "$RUN/public/config.php"
budget() { sed -i "s|'bytes_per_member' => .*|'bytes_per_member' => $1,|" "$RUN/public/config.php"; }
data="$RUN/private/data"
head -c 67500000 /dev/zero > "$RUN/big.lua" && printf 'x\r\n' > "$RUN/small.lua"
[ "$(post kestrel gryphon "$RUN/big.lua")" = "The upload is larger than this site accepts. 413" ] || fail "oversize"
truncate -s 71M "$RUN/big.lua" # the server itself refuses a body well past max_bytes, without reading it
# curl waits for the server's word before it sends the body, so a refusal never meets a body in flight.
sent=$(curl -s -o /dev/null -w '%{http_code} %{size_upload}' -H 'Expect: 100-continue' --expect100-timeout 60 \
    -F "thefile=@$RUN/big.lua" "http://$SITE/memberbankupload.php" || true)
[ "${sent% *}" = 413 ] && [ "${sent#* }" -lt 1000000 ] || fail "a 71 MB body was read ($sent)"
# A PHP that allows less than max_bytes is named in the answer (PHP's own server, with low limits).
low=127.0.0.1:$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
php -d post_max_size=2M -d upload_max_filesize=1M -S "$low" -t "$RUN/public" > /dev/null 2>&1 & pids+=($!)
for _ in $(seq 50); do curl -s -o /dev/null "http://$low/" && break; sleep 0.1; done
head -c 1500000 /dev/zero > "$RUN/mid.lua" && head -c 3000000 /dev/zero > "$RUN/big.lua"
larger="The upload is larger than this site accepts: its PHP setting"
[ "$(SITE=$low post kestrel gryphon "$RUN/mid.lua")" = "$larger upload_max_filesize is 1M. 413" ] \
    && [ "$(SITE=$low post kestrel gryphon "$RUN/big.lua")" = "$larger post_max_size is 2M. 413" ] \
    || fail "PHP's own limits were not named"
kill "${pids[-1]}"
head -c 40000000 /dev/zero > "$RUN/big.lua" # a big character's profile still goes in
[ "$(post kestrel gryphon "$RUN/big.lua")" = "Inventory Uploaded 200" ] || fail "a 40 MB profile"
[ "$(post kestrel gryphon "$RUN/small.lua" ../../../public/escaped.lua)" = "Inventory Uploaded 200" ] || fail "../"
[ -z "$(find "$RUN" -name 'escaped*')" ] || fail "the client's file name was used"
[ "$(post 'x%0D%0Aforged' pw "$RUN/small.lua")" = "Invalid Login/Password 200" ] || fail "CR LF login"
grep -q 'rejected login "x\\x0d\\x0aforged"$' "$data/upload.log" && ! grep -q '^forged' "$data/upload.log" \
    || fail "CR LF in a login reached the log"

source "$(dirname "${BASH_SOURCE[0]}")/site_cases_profiles.sh"
source "$(dirname "${BASH_SOURCE[0]}")/site_cases_guard.sh"

# adduser.php run as root keeps the users file's group (the folder's, given when it was made) and
# the mode the officer set, through an addition and a removal; the removed member cannot log in.
chmod 0604 "$RUN/private/users.json"
{ printf 'tern\n' | php "$RUN/adduser.php" tern && php "$RUN/adduser.php" --remove tern; } > /dev/null \
    && [ "$(stat -c '%a %G' "$RUN/private/users.json")" = "604 $group" ] \
    && [ "$(post tern tern "$RUN/small.lua")" = "Invalid Login/Password 200" ] || fail "adduser.php"

# Each try names another client in X-Forwarded-For, which counts for nothing from an untrusted address.
for i in 1 2 3 4 5 6; do
    reply=$(post kestrel wrong "$RUN/small.lua" Rostrel.lua -H "X-Forwarded-For: 10.1.0.$i")
    [ "${reply: -3}" = 429 ] && break
done
[ "${reply: -3}" = 429 ] && [ "$(post kestrel gryphon "$RUN/small.lua" | tail -c 3)" = 429 ] \
    || fail "failed logins in a row were not slowed down"
