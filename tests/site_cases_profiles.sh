# The upload script's cases about the profiles it keeps, sourced by tests/site_cases.sh. Older
# profiles have no byte budget here, so of each named profile only the newest stays.
# shellcheck shell=bash
profiles="$data/profiles/kestrel"
count() { ls "$profiles" | grep -c "$1"; } # profiles whose names match a pattern

# An empty profile is refused and the kept ones stay.
kept=$(count '')
: > "$RUN/empty.lua"
[ "$(post kestrel gryphon "$RUN/empty.lua")" = "The profile is empty. 400" ] && [ "$(count '')" = "$kept" ] \
    || fail "an empty profile"

# 45 characters, each posted twice with its name, leave the 45 newest. (Each from an address of its
# own, so that the posts of a round go side by side.)
for round in old new; do
    printf '%s\r\n' "$round" > "$RUN/char.lua"
    seq 45 | xargs -P 4 -I{} curl -s -o /dev/null --interface 127.0.1.{} \
        -H "X-Rostrel-Profile: _test_/Mossgate/Char{}" --form-string login=kestrel --form-string password=gryphon \
        -F "thefile=@$RUN/char.lua" "http://$SITE/memberbankupload.php" || true
done
[ "$(count '\._test__Mossgate_Char')" = 45 ] && ! grep -q old "$profiles"/*._test__* || fail "45 characters"

# Without the name (an older program), the newest `keep` (10) are kept, as they always were.
for i in $(seq 11); do post kestrel gryphon "$RUN/small.lua" > /dev/null; done
[ "$(count '^[^.]*\.lua$')" = 10 ] && [ "$(count '\._test__Mossgate_Char')" = 45 ] || fail "profiles without a name"
