#!/usr/bin/env bash
# Import and export of one CSV file, btrtool against the sqlite3 shell's
# .import and .output, with the same columns and the same two keys (a unique
# code; town and name without regard to case).
#
#   bench/import_export.sh [BTRTOOL] [ROWS]
#
# BTRTOOL defaults to build/bin/btrtool (build it in Release for numbers
# worth reading); ROWS to 200000. Prints the times, btrtool's peak heap and
# the ratios btrtool / sqlite3 (below 1: btrtool is faster).
set -euo pipefail
tool=$(realpath "${1:-build/bin/btrtool}")
rows=${2:-200000}
command -v sqlite3 >/dev/null || { echo "needs the sqlite3 shell (apt-get install sqlite3)" >&2; exit 2; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"

# The demo's clients: names in 1251, towns in 866, dates, whole decimals.
awk -v n="$rows" 'BEGIN {
    split("Иванов Петров Сидоров Кузнецов Смирнов Попов Волков Соколов", s, " ")
    split("Москва Тула Казань Самара Омск Пермь Тверь Курск", t, " ")
    srand(20261206)
    print "Code,Name,Town,Since,Balance"
    for (i = 1; i <= n; i++)
        printf "%d,%s %c.,%s,%04d-%02d-%02d,%d\n", i, s[int(rand() * 8) + 1], 65 + int(rand() * 26),
               t[int(rand() * 8) + 1], 2000 + int(rand() * 25), 1 + int(rand() * 12), 1 + int(rand() * 28),
               int(rand() * 200000) - 50000
}' > in.csv

cat > desc.txt <<'DESC'
file CLIENTS.DAT page=4096
field Code Longint
field Name ZString(WIN) 31
field Town ZString(DOS) 21
field Since Date
field Balance Decimal 8
key Code
key Town+Name dup mod nocase
DESC
"$tool" dict create D.DIC >/dev/null
"$tool" dict import D.DIC desc.txt >/dev/null
"$tool" create D.DIC CLIENTS.DAT >/dev/null
sqlite3 s.db "CREATE TABLE clients(Code INTEGER NOT NULL UNIQUE, Name TEXT, Town TEXT, Since TEXT, Balance INTEGER);
              CREATE INDEX town_name ON clients(Town COLLATE NOCASE, Name COLLATE NOCASE);"

# Runs a command; prints its seconds and its peak anonymous memory in KB
# (sampled: the engine maps the file it reads, and those pages are the
# file's, not the process's).
timed() {
    python3 -c 'import subprocess, sys, time
start = time.perf_counter()
p = subprocess.Popen(sys.argv[1:], stdout=subprocess.DEVNULL)
peak = 0
while p.poll() is None:
    try:
        for line in open("/proc/%d/status" % p.pid):
            if line.startswith("RssAnon:"):
                peak = max(peak, int(line.split()[1]))
    except OSError:
        pass
    time.sleep(0.01)
if p.returncode:
    sys.exit(p.returncode)
print("%.3f %d" % (time.perf_counter() - start, peak))' "$@"
}

read -r t_import m_import < <(timed "$tool" import D.DIC CLIENTS.DAT in.csv)
read -r s_import _ < <(timed sqlite3 s.db ".import --csv --skip 1 in.csv clients")
read -r t_export m_export < <(timed "$tool" export D.DIC CLIENTS.DAT out.csv)
read -r s_export _ < <(timed sqlite3 s.db ".headers on" ".mode csv" ".output s.csv" "SELECT * FROM clients ORDER BY Code;")

# Every value came back as it was written (in key order, which is Code's).
cmp -s in.csv out.csv || { echo "btrtool's export differs from what it imported" >&2; exit 1; }

printf '%d rows, %s bytes of CSV\n' "$rows" "$(stat -c %s in.csv)"
printf '%-8s %10s %10s %8s %14s\n' "" btrtool sqlite3 ratio "btrtool heap"
printf '%-8s %9.3fs %9.3fs %8.2f %11d KB\n' import "$t_import" "$s_import" "$(echo "$t_import / $s_import" | bc -l)" "$m_import"
printf '%-8s %9.3fs %9.3fs %8.2f %11d KB\n' export "$t_export" "$s_export" "$(echo "$t_export / $s_export" | bc -l)" "$m_export"
