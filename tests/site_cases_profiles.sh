# The upload script's cases about the profiles it keeps, sourced by tests/site_cases.sh.
# shellcheck shell=bash
profiles="$data/profiles/kestrel"
count() { ls "$profiles" | grep -c "$1"; } # profiles whose names match a pattern

# A player with no profile yet logs in with an empty one and no name: nothing is stored. An empty
# profile that names a character is refused; a wrong password is still wrong.
kept=$(count '')
: > "$RUN/empty.lua"
[ "$(post kestrel gryphon "$RUN/empty.lua")" = "Inventory Uploaded 200" ] \
    && [ "$(post kestrel wrong "$RUN/empty.lua")" = "Invalid Login/Password 200" ] \
    && [ "$(post kestrel gryphon "$RUN/empty.lua" x -H 'X-Rostrel-Profile: _test_/account-1')" = "The profile is empty. 400" ] \
    && [ "$(count '')" = "$kept" ] && grep -q ' login without a profile of "kestrel"$' "$data/upload.log" \
    || fail "an empty profile"

# 45 characters, each posted twice with its name, leave the 45 newest when the budget holds only
# those. (Each from an address of its own, so that the posts of a round go side by side.)
budget 225
for round in old new; do
    printf '%s\r\n' "$round" > "$RUN/char.lua"
    seq 45 | xargs -P 4 -I{} curl -s -o /dev/null --interface 127.0.1.{} \
        -H "X-Rostrel-Profile: _test_/Mossgate/Char{}" --form-string login=kestrel --form-string password=gryphon \
        -F "thefile=@$RUN/char.lua" "http://$SITE/memberbankupload.php" || true
done
[ "$(count '\._test__Mossgate_Char')" = 45 ] && ! grep -q old "$profiles"/*._test__* || fail "45 characters"

# Without the name (an older program), the newest `keep` (10) are kept, as they always were.
budget 1000000000
for i in $(seq 11); do post kestrel gryphon "$RUN/small.lua" > /dev/null; done
[ "$(count '^[^.]*\.lua$')" = 10 ] && [ "$(count '\._test__Mossgate_Char')" = 45 ] || fail "profiles without a name"

# All a member stores stays within the budget (5 MB here): 12 characters of 1 MB leave the 5
# newest; a profile larger than the whole budget is refused, saying why.
budget 5242880
head -c 1000000 /dev/zero > "$RUN/char.lua"
seq 12 | xargs -P 4 -I{} curl -s -o /dev/null --interface 127.0.2.{} -H "X-Rostrel-Profile: _test_/Mossgate/Big{}" \
    --form-string login=kestrel --form-string password=gryphon -F "thefile=@$RUN/char.lua" \
    "http://$SITE/memberbankupload.php" || true
head -c 5242881 /dev/zero > "$RUN/big.lua"
[ "$(du -sb --exclude=.lock "$profiles" | cut -f1)" -le 5242880 ] && [ "$(count '\._test__Mossgate_Big')" = 5 ] \
    && post kestrel gryphon "$RUN/big.lua" | grep -q "keeps per member (5242880 bytes). 413$" || fail "the budget"

# A large profile sent just before a small one of the same character does not become its newest.
budget 1000000000
head -c 40000000 /dev/zero > "$RUN/big.lua"
post kestrel gryphon "$RUN/big.lua" x -H "X-Rostrel-Profile: _test_/Mossgate/Order" > /dev/null &
sleep 0.3
post kestrel gryphon "$RUN/small.lua" x -H "X-Rostrel-Profile: _test_/Mossgate/Order" > /dev/null
wait $!
newest=$(ls "$profiles" | grep Order | tail -n1)
[ "$(count '\._test__Mossgate_Order')" = 2 ] && cmp -s "$RUN/small.lua" "$profiles/$newest" \
    || fail "a profile sent before another became the newest"
