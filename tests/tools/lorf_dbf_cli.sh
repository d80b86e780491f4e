#!/usr/bin/env bash
# lorf-dbf as a user runs it: a demo database, its checks, a rewrite, a pack, the exit codes.
set -u
tool=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0
expect() {  # expect WHAT WANT GOT
    if [ "$2" != "$3" ]; then
        echo "FAIL: $1: expected [$2], got [$3]"
        failures=$((failures + 1))
    fi
}

"$tool" DEMO "$dir/db" --Groups 12 --materials 400 --seed 7 >/dev/null
expect "demo exit" 0 $?
for t in main.dbf zapas/mgrup.dbf zapas/mlabel.dbf zapas/prihod.dbf; do
    expect "check $t" OK "$("$tool" check "$dir/db/$t" | cut -d' ' -f1)"
done
# Upper-case names and backslashes resolve.
expect "info by another name" 0 "$("$tool" info "$dir\\db\\ZAPAS\\MLABEL.DBF" >/dev/null; echo $?)"

# Group 3 becomes group 4 with a Cyrillic item number; every tag stays right.
before=$("$tool" locate "$dir/db/zapas/mlabel.dbf" "RTRIM(GRUP)=='  3'" | wc -l)
changed=$("$tool" replace "$dir/db/zapas/mlabel.dbf" --where "GRUP=  3" --set "GRUP=  4,NNUM=Ж-1")
expect "replace count" "$before" "$changed"
expect "check after replace" OK "$("$tool" check "$dir/db/zapas/mlabel.dbf" | cut -d' ' -f1)"
expect "seek the new pair" 0 "$("$tool" seek "$dir/db/zapas/mlabel.dbf" MLABEL "  4  Ж-1" >/dev/null; echo $?)"
expect "the old group is gone" 0 "$("$tool" locate "$dir/db/zapas/mlabel.dbf" "RTRIM(GRUP)=='  3'" | wc -l)"

out=$("$tool" pack "$dir/db/zapas/mlabel.dbf")
expect "pack exit" 0 $?
expect "check after pack" OK "$("$tool" check "$dir/db/zapas/mlabel.dbf" | cut -d' ' -f1)"
expect "seek a missing key" "not found:1" "$("$tool" seek "$dir/db/zapas/mlabel.dbf" MLABEL "nokey"):$?"
"$tool" check "$dir/db/zapas/none.dbf" >/dev/null 2>&1
expect "a missing file" 2 $?
"$tool" locate "$dir/db/zapas/mlabel.dbf" "FOO(NNUM)" >/dev/null 2>"$dir/err"
expect "a bad expression" 2 $?
expect "the error names the expression" 1 "$(grep -c "FOO(NNUM)" "$dir/err")"

# A demo under RUSSIAN: every tag checked against its records, seeks that ignore letter case
# as Visual FoxPro's SEEK does (the first entry of an equal key), rewrites that keep it exact.
"$tool" demo "$dir/ru" --groups 12 --materials 300 --collate russian >/dev/null
expect "collated demo exit" 0 $?
for t in zapas/mgrup.dbf zapas/mlabel.dbf zapas/prihod.dbf; do
    expect "check collated $t" OK "$("$tool" check "$dir/ru/$t" | cut -d' ' -f1)"
done
expect "tags under RUSSIAN" 16 "$("$tool" info "$dir/ru/zapas/mlabel.dbf" | grep -c 'collation RUSSIAN')"
expect "seek in capitals" 1 "$("$tool" seek "$dir/ru/zapas/mgrup.dbf" DODOD "АБ")"
expect "seek in lower case" 1 "$("$tool" seek "$dir/ru/zapas/mgrup.dbf" DODOD "аб")"
expect "Ё is not Е" 4 "$("$tool" seek "$dir/ru/zapas/mgrup.dbf" DODOD "Ё1")"
changed=$("$tool" replace "$dir/ru/zapas/mlabel.dbf" --where "GRUP=аб" --set "GRUP=Ё1,NAME=Ёлка ҐАНОК")
expect "collated replace" 1 "$([ "$changed" -gt 0 ] && echo 1)"
expect "check after the collated replace" OK \
    "$("$tool" check "$dir/ru/zapas/mlabel.dbf" | cut -d' ' -f1)"
"$tool" demo "$dir/nosuch" --collate DUTCH >/dev/null 2>"$dir/err"
expect "a collation the engine lacks" 2 $?
expect "named as unsupported" 1 "$(grep -c 'unsupported: collation DUTCH' "$dir/err")"

# A damaged field name is shown escaped, never as raw control bytes.
cp "$dir/db/main.dbf" "$dir/odd.dbf"
printf '\001' | dd of="$dir/odd.dbf" bs=1 seek=33 conv=notrunc 2>/dev/null
"$tool" info "$dir/odd.dbf" >"$dir/info" 2>&1
expect "escaped" 1 "$(grep -c 'K\\x01Y' "$dir/info")"
expect "no raw control byte" 0 "$(LC_ALL=C grep -c "$(printf '\001')" "$dir/info")"

# Help and unknown options: the usage and status 2, never a file name.
for args in "--help" "-h" "info --bogus" "check $dir/db/main.dbf --bogus" "pack --help"; do
    "$tool" $args >/dev/null 2>"$dir/usage"
    expect "usage for '$args'" 2 $?
    expect "usage text for '$args'" 1 "$(grep -c '^usage: lorf-dbf' "$dir/usage")"
done
# The smallest demo still has materials.
expect "two groups" 0 "$("$tool" demo "$dir/small" --groups 2 --materials 5 >/dev/null; echo $?)"

echo "lorf-dbf: $failures failed"
[ "$failures" -eq 0 ]
