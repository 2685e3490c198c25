#!/bin/sh
# Builds a small sample project and backs it up, first as a zip archive, then
# as a plain directory, to show what a run looks like.
# Usage: demo.sh <program> <work directory>
set -eu
program=$1
work=$2

rm -rf "$work"
project=$work/SampleProject
mkdir -p "$project/Attach/2026" "$project/Quillet_In" "$project/Quillet_Out" \
         "$project/StyleSheets"

sqlite3 "$project/qkproj.db" <<'SQL'
CREATE TABLE documents (id INTEGER PRIMARY KEY, title TEXT, body TEXT);
INSERT INTO documents (title, body) VALUES
  ('Welcome', 'The first document of the sample project.'),
  ('Minutes', 'Notes of the weekly meeting.'),
  ('Budget', 'Figures for the coming year.');
SQL
echo "Quarterly report" > "$project/Attach/2026/report.txt"
printf 'attachment %s\n' 1 2 3 > "$project/Attach/list.txt"
echo "incoming item" > "$project/Quillet_In/item-001.txt"
echo "outgoing item" > "$project/Quillet_Out/item-002.txt"
echo "body { font-family: serif; }" > "$project/StyleSheets/default.css"

echo "== Zip backup: $program $project $work/backup"
"$program" "$project" "$work/backup"
echo "== Archive $work/backup.zip:"
unzip -l "$work/backup.zip"

echo "== Directory backup (-n): $program -n $project $work/backup-dir"
"$program" -n "$project" "$work/backup-dir"
echo "== Rows in the backed-up database:"
sqlite3 "$work/backup-dir/qkproj.db" 'SELECT id, title FROM documents;'
