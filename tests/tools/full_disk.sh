#!/usr/bin/env bash
# A real file system that runs out of space: a small tmpfs in a private mount namespace (skipped,
# status 77, where the machine allows none). A pack and a reindex that do not fit fail saying
# so and leave the table's files as they were, with nothing half written behind; a replace
# ends whole or fails whole; the transfer refuses to start and changes nothing.
set -u
dbf=$1
cli=$2
init=$3
if [ "${LORF_IN_NAMESPACE:-}" != 1 ]; then
    unshare --user --map-root-user --mount true 2>/dev/null || { echo "no private mounts here"; exit 77; }
    exec env LORF_IN_NAMESPACE=1 unshare --user --map-root-user --mount bash "$0" "$@"
fi
dir=$(mktemp -d)
trap 'umount "$dir/small" 2>/dev/null; rm -rf "$dir"' EXIT
mkdir -p "$dir/small"
mount -t tmpfs -o size=24m tmpfs "$dir/small" 2>/dev/null || { echo "no tmpfs here"; exit 77; }
failures=0
expect() {  # expect WHAT WANT GOT
    if [ "$2" != "$3" ]; then
        echo "FAIL: $1: expected [$2], got [$3]"
        failures=$((failures + 1))
    fi
}
db=$dir/small/db
"$dbf" demo "$db" --groups 12 --materials 3000 --seed 3 >/dev/null || { echo "FAIL: demo"; exit 1; }
mlabel=$db/zapas/mlabel.dbf
sums() { cksum "$db"/zapas/mlabel.* | sort; }
leftovers() { find "$dir/small" -name '*-new*' | wc -l; }
# The disk filled up to all but a little.
free_kb=$(df -k --output=avail "$dir/small" | tail -1)
dd if=/dev/zero of="$dir/small/filler" bs=1k count=$((free_kb - 40)) 2>/dev/null
before=$(sums)

"$dbf" pack "$mlabel" >/dev/null 2>"$dir/err"
expect "pack fails" 2 $?
expect "pack says why" 1 "$(grep -c 'No space left on device' "$dir/err")"
expect "pack leaves the files" "$before" "$(sums)"
expect "pack leaves nothing behind" 0 "$(leftovers)"

"$dbf" reindex "$mlabel" >/dev/null 2>"$dir/err"
expect "reindex fails" 2 $?
expect "reindex says why" 1 "$(grep -c 'No space left on device' "$dir/err")"
expect "reindex leaves the files" "$before" "$(sums)"
expect "reindex leaves nothing behind" 0 "$(leftovers)"

"$dbf" replace "$mlabel" --where "GRUP=  3" --set "NNUM=FULL-1" >/dev/null 2>&1
status=$?
expect "replace ends whole or fails whole" 1 "$([ $status = 0 ] || [ $status = 2 ] && echo 1)"
expect "table whole after replace" OK "$("$dbf" check "$mlabel" | cut -d' ' -f1)"

"$init" "$dir/kvd.abs"
run() { "$cli" --db "$db" --store "$dir/kvd.abs" "$@"; }
run tables add 'zapas\mlabel.dbf' >/dev/null
k=$("$dbf" order "$mlabel" MLABEL | sed -n 1p | cut -f2)
key=$(printf "$(echo "$k" | sed 's/../\\x&/g')")
run plan add "$(echo "${key:0:5}" | sed 's/ *$//')" "$(echo "${key:5:13}" | sed 's/ *$//')" "  9" "F-1"
after_replace=$(sums)
run transfer --yes >/dev/null 2>"$dir/err"
expect "transfer refused" 1 $?
expect "transfer says why" 1 "$(grep -c 'Недостаточно места на диске' "$dir/err")"
expect "transfer changes nothing" "$after_replace" "$(sums)"
expect "plan kept" 1 "$(run plan list | wc -l)"

[ "$failures" -eq 0 ] && echo "all passed"
[ "$failures" -eq 0 ]
