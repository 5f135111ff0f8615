# The upload script's own cases, run by scripts/test-site against nginx and php-fpm ($SITE, $RUN).
# shellcheck shell=bash
fail() { echo "FAILED: $*"; exit 1; }
post() { # login password file [file name]: prints the answer, a space and the status
    curl -s -w ' %{http_code}' --form-string "login=$1" --form-string "password=$2" \
        -F "thefile=@$3;filename=${4:-Rostrel.lua}" "http://$SITE/memberbankupload.php"
}
head -c 67500000 /dev/zero > "$RUN/big.lua" && printf 'x\r\n' > "$RUN/small.lua"
[ "$(post kestrel gryphon "$RUN/big.lua")" = "The upload is larger than this site accepts. 413" ] || fail "oversize"
head -c 40000000 /dev/zero > "$RUN/big.lua" # a big character's profile still goes in
[ "$(post kestrel gryphon "$RUN/big.lua")" = "Inventory Uploaded 200" ] || fail "a 40 MB profile"
[ "$(post kestrel gryphon "$RUN/small.lua" ../../../public/escaped.lua)" = "Inventory Uploaded 200" ] || fail "../"
[ -z "$(find "$RUN" -name 'escaped*')" ] || fail "the client's file name was used"
[ "$(post 'x%0D%0Aforged' pw "$RUN/small.lua")" = "Invalid Login/Password 200" ] || fail "CR LF login"
grep -q 'rejected login "x\\x0d\\x0aforged"$' "$RUN/private/data/upload.log" && ! grep -q '^forged' "$RUN/private/data/upload.log" \
    || fail "CR LF in a login reached the log"
for _ in 1 2 3 4 5 6; do reply=$(post kestrel wrong "$RUN/small.lua"); [ "${reply: -3}" = 429 ] && break; done
[ "${reply: -3}" = 429 ] && [ "$(post kestrel gryphon "$RUN/small.lua" | tail -c 3)" = 429 ] \
    || fail "failed logins in a row were not slowed down"
