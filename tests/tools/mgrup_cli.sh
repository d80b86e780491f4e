#!/usr/bin/env bash
# lorf-mgrup-cli as an administrator runs it: the table list, a plan from CSV with its
# refusals, number processing, the transfer and its exit codes.
set -u
cli=$1
dbf=$2
init=$3
dir=$(mktemp -d)
[ -n "${KEEP:-}" ] || trap 'rm -rf "$dir"' EXIT
failures=0
expect() {  # expect WHAT WANT GOT
    if [ "$2" != "$3" ]; then
        echo "FAIL: $1: expected [$2], got [$3]"
        failures=$((failures + 1))
    fi
}
run() { "$cli" --db "$dir/db" --store "$dir/kvd.abs" "$@"; }

"$dbf" demo "$dir/db" --groups 12 --materials 400 --seed 7 >/dev/null
"$init" "$dir/kvd.abs"
mlabel=$dir/db/zapas/mlabel.dbf

# The pairs of the first materials in GRUP+NNUM order, blanks kept.
key() {
    local hex
    hex=$("$dbf" order "$mlabel" MLABEL | sed -n "${1}p" | cut -f2)
    printf "$(echo "$hex" | sed 's/../\\x&/g')"
}
k1=$(key 1); k2=$(key 2); k3=$(key 3)
g1=$(echo "${k1:0:5}" | sed 's/ *$//'); n1=$(echo "${k1:5:13}" | sed 's/ *$//')
g2=$(echo "${k2:0:5}" | sed 's/ *$//'); n2=$(echo "${k2:5:13}" | sed 's/ *$//')
g3=$(echo "${k3:0:5}" | sed 's/ *$//'); n3=$(echo "${k3:5:13}" | sed 's/ *$//')

expect "table added" 1 "$(run tables add 'zapas\mlabel.dbf' --comment 'материалы')"
run tables add 'zapas\prihod.dbf' >/dev/null
expect "tables listed" "1;zapas\\mlabel.dbf;;материалы" "$(run tables list | head -1)"
expect "two tables" 2 "$(run tables list | wc -l)"

# An import with faults adds nothing and names every faulty line.
{
    echo "GRUP;NNUM;NGRUP;NNNUM"
    echo "$g1;$n1;  9;Ж-1"
    echo "$g2;$n2"
    echo "$g1;$n1;  9;Ж-5"
    echo "$g3;$n3;$g2;$n2"
    echo "$g3;$n3;  9;12345678901234"
} >"$dir/bad.csv"
run plan import "$dir/bad.csv" 2>"$dir/err"
expect "refused import exit" 1 $?
expect "refused lines" "3 4 5 6" "$(grep -o 'bad.csv:[0-9]*' "$dir/err" | cut -d: -f2 | tr '\n' ' ' | sed 's/ $//')"
expect "nothing added" 0 "$(run plan list | wc -l)"

# A clean import in Windows-1251, then a row by hand.
printf 'GRUP;NNUM;NGRUP;NNNUM\r\n%s;%s;  9;\xc6-1\r\n' "$g1" "$n1" >"$dir/good.csv"
run plan import "$dir/good.csv"
expect "import exit" 0 $?
run plan add "$g2" "$n2" "  9" "Ж-2"
expect "add exit" 0 $?
run plan add "$g2" "$n2" "  9" "Ж-3" 2>/dev/null
expect "already planned" 1 $?
expect "plan rows" "Ж-1 Ж-2" "$(run plan list | cut -d';' -f6 | tr '\n' ' ' | sed 's/ $//')"
# A pair that names no material is refused; a row is removed by its ID.
run plan add "  1" "НЕТ-ТАКОГО" "  9" "Ж-9" 2>"$dir/err"
expect "no such material" 1 $?
expect "no such material said" 1 "$(grep -c 'нет материала с такой группой и номером' "$dir/err")"
run plan add "$g3" "$n3" "  9" "Ж-9" >/dev/null
expect "three rows" 3 "$(run plan list | wc -l)"
run plan remove "$(run plan list | grep ';Ж-9$' | cut -d';' -f1)"
expect "row removed" "Ж-1 Ж-2" "$(run plan list | cut -d';' -f6 | tr '\n' ' ' | sed 's/ $//')"
run plan remove 999 2>/dev/null
expect "no such row" 2 $?
run numbers replace Ж Щ
run numbers insert x 0 2>"$dir/err"
expect "bad position" "lorf-mgrup-cli: 'x' is not a valid integer value" "$(cat "$dir/err")"
run plan export "$dir/out.csv"
expect "export" "GRUP;NNUM;NGRUP;NNNUM|$g1;$n1;  9;Щ-1|$g2;$n2;  9;Щ-2" "$(tr '\n' '|' <"$dir/out.csv" | sed 's/|$//')"

# The transfer asks for --yes, writes its journal and leaves every table checked clean.
run transfer 2>/dev/null
expect "transfer unconfirmed" 2 $?
run transfer --dry-run >"$dir/check"
expect "dry run of a clean plan" 0 $?
expect "dry run counts" 1 "$(grep -c '^zapas.mlabel.dbf: будет изменено записей: 2$' "$dir/check")"

# A plan that would give two materials one pair is refused, changing nothing, unless allowed.
# (The number tools can make one: both rows end on Щ-1.)
run numbers replace 2 1
run transfer --dry-run >"$dir/check"
expect "dry run of a merge" 1 $?
expect "merge reported" 1 "$(grep -c '^Слияние: пару   9/Щ-1 получат 2 материала:$' "$dir/check")"
before=$(cksum <"$mlabel")
run transfer --yes >"$dir/check" 2>/dev/null
expect "merge refused" 1 $?
expect "nothing changed" "$before" "$(cksum <"$mlabel")"
run plan clear
run plan add "$g1" "$n1" "  9" "Щ-1"
run plan add "$g2" "$n2" "  9" "Щ-2"
run transfer --yes >"$dir/journal"
expect "transfer exit" 0 $?
expect "journal start" 1 "$(grep -c ': Запущен перенос 2 позиций$' "$dir/journal")"
expect "journal tables" 2 "$(grep -c ':Обрабатывается zapas.*dbf ;[0-9.,]* сек$' "$dir/journal")"
expect "journal end" 1 "$(grep -c ': Перенос завершен$' "$dir/journal")"
expect "plan emptied" 0 "$(run plan list | wc -l)"
for t in mlabel prihod; do
    expect "check $t" OK "$("$dbf" check "$dir/db/zapas/$t.dbf" | cut -d' ' -f1)"
done
expect "moved" 0 "$("$dbf" seek "$mlabel" MLABEL "  9  Щ-1" >/dev/null; echo $?)"
expect "old pair gone" 1 "$("$dbf" seek "$mlabel" MLABEL "$k1" >/dev/null; echo $?)"

# A missing table: an error line per plan row and exit status 1; the other tables rewritten.
run tables add 'zapas\nosuch.dbf' >/dev/null
run plan add "$g3" "$n3" "  9" "Щ-3"
run transfer --yes >"$dir/journal" 2>"$dir/ending"
expect "transfer with an error" 1 $?
expect "error line" 1 "$(grep -c ":Grup:$g3,Nnum:$n3 " "$dir/journal")"
expect "one kind of separator in the paths" 0 \
    "$(grep ":Grup:" "$dir/journal" | sed 's/^.*AdsTableR//' | grep '/' | grep -c '\\')"
expect "moved despite the error" 0 "$("$dbf" seek "$mlabel" MLABEL "  9  Щ-3" >/dev/null; echo $?)"
# The backup records the run as it was: its journal line by line, the plan, the row that
# failed, and the records the other tables changed.
latest="$dir/db/lorf-backup/$(run restore | tail -1 | cut -d';' -f1)"
expect "the backup's journal is the run's" "$(cat "$dir/journal")" "$(cat "$latest/journal.txt")"
expect "the backup's plan" "GRUP;NNUM;NGRUP;NNNUM|$g3;$n3;  9;Щ-3" "$(tr '\n' '|' <"$latest/plan.csv" | sed 's/|$//')"
expect "the row that failed" "GRUP;NNUM;NGRUP;NNNUM|$g3;$n3;  9;Щ-3" "$(tr '\n' '|' <"$latest/failed.csv" | sed 's/|$//')"
expect "the records changed" "$("$dbf" locate "$mlabel" "RTRIM(NNUM)=='Щ-3'" | wc -l)" \
    "$(grep -c ";$g3;$n3;  9;Щ-3\$" "$latest/changes-zapas-mlabel.dbf.csv")"
expect "the run's error line counted" 1 "$(run restore | tail -1 | cut -d';' -f4)"
expect "the way back into the plan" 1 \
    "$(grep -c "lorf-mgrup-cli restore $(basename "$latest") --replan\$" "$dir/ending")"

# Each run left a backup; the newest puts the table back as the second run left it, the first
# only when forced, the table having changed since its run.
run restore >"$dir/backups"
expect "backups listed" 2 "$(grep -c ';zapas\\mlabel.dbf,zapas\\prihod.dbf;' "$dir/backups")"
first=$(sed -n 1p "$dir/backups" | cut -d';' -f1)
second=$(sed -n 2p "$dir/backups" | cut -d';' -f1)
expect "plan rows and rows not moved" "1;1" "$(sed -n 2p "$dir/backups" | cut -d';' -f3,5)"
# The row the missing table failed goes back into an emptied plan, once.
run plan clear
expect "rows put back" 1 "$(run restore "$second" --replan)"
expect "put back once" 0 "$(run restore "$second" --replan)"
expect "plan row back" 1 "$(run plan list | grep -c "^[0-9]*;$g3;$n3;.*;  9;Щ-3$")"
run restore "$first" >"$dir/restore"
expect "changed table refused" 1 $?
expect "refusal named" 1 "$(grep -c '^zapas.mlabel.dbf: изменена после переноса, не восстановлена$' "$dir/restore")"
run restore "$second" >"$dir/restore"
expect "newest restored" 0 $?
expect "moved back" 1 "$("$dbf" seek "$mlabel" MLABEL "  9  Щ-3" >/dev/null; echo $?)"
expect "first moves kept" 0 "$("$dbf" seek "$mlabel" MLABEL "  9  Щ-1" >/dev/null; echo $?)"
run restore "$first" --force >/dev/null
expect "forced restore" 0 $?
expect "as before every run" "$before" "$(cksum <"$mlabel")"
expect "restored table checked" OK "$("$dbf" check "$mlabel" | cut -d' ' -f1)"
run restore "$first" --delete
expect "backup deleted" 1 "$(run restore | wc -l)"
run restore nosuch 2>/dev/null
expect "unknown backup" 2 $?

# Commands that only read leave the store as it was (SQLite may add its empty side files).
store_sum=$(cksum <"$dir/kvd.abs")
run plan list >/dev/null
run tables list >/dev/null
run plan export "$dir/read.csv"
run restore >/dev/null
expect "reading commands write nothing" "$store_sum" "$(cksum <"$dir/kvd.abs")"

# Help and unknown options: the usage and status 2, never a file or a value.
for args in "--help" "-h" "plan list --bogus" "tables add --nope"; do
    run $args >/dev/null 2>"$dir/usage"
    expect "usage for '$args'" 2 $?
    expect "usage text for '$args'" 1 "$(grep -c '^Использование: lorf-mgrup-cli' "$dir/usage")"
done
expect "no table added by an option" 0 "$(run tables list | grep -c -- '--nope')"
(cd "$dir" && "$init" --help 2>/dev/null)
expect "kvd-init --help" 2 $?
expect "no store named --help" 0 "$(ls "$dir" | grep -c -- '--help')"


# The demo's other tables with materials' pairs go into the list in one step; the backups'
# copies are not among them.
run tables remove 3 >/dev/null  # the missing table
run tables add-unlisted >"$dir/added"
expect "unlisted added" 0 $?
expect "no backup copies" 0 "$(grep -c 'lorf-backup' "$dir/added")"
expect "listed now" $((2 + $(wc -l <"$dir/added"))) "$(run tables list | wc -l)"
expect "nothing left unlisted" "" "$(run tables add-unlisted)"

[ "$failures" -eq 0 ] && echo "all passed"
exit "$failures"
