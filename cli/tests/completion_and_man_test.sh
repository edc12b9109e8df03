#!/usr/bin/env bash
# Checks the bash completion (what it offers at each point of a command
# line, monitor ids from a real store made by the built program) and the man
# page (valid roff, and every command and option of the built program's
# help is in it and in the completion).
#   completion_and_man_test.sh VANTOREL_UPTIME COMPLETION_SCRIPT MAN_PAGE
set -uo pipefail
cli=$(realpath "$1") completion=$(realpath "$2") man_page=$(realpath "$3")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAILED: $*"; failures=$((failures + 1)); }

# shellcheck source=/dev/null
source "$completion"

store=$work/store
id1=$("$cli" --dir "$store" add "Web" http http://127.0.0.1:9/) || fail "add"
id2=$("$cli" --dir "$store" add "Db" tcp 127.0.0.1:5432) || fail "add"
ids=$(printf '%s\n' "$id1" "$id2" | sort | tr '\n' ' ')
ids=${ids% }
mkdir "$work/dir-a" "$work/dir-b"

# Completes a command line as bash would split it ("|" stands for the
# cursor, at the end of a word) and prints the offers, sorted, on one line.
offers() {
    local line=$1
    COMP_WORDS=()
    local w
    for w in $line; do COMP_WORDS+=("$w"); done
    [[ $line == *" " ]] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _vantorel_uptime
    printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort | tr '\n' ' ' | sed 's/ $//'
}

cd "$work" || exit 1
# line (words split at spaces, "=" apart as bash does) | expected offers
while IFS='|' read -r line expected; do
    [ -z "$line" ] && continue
    expected=${expected//@IDS@/$ids}
    expected=${expected//@ID1@/$id1}
    expected=${expected//@STORE@/$store}
    line=${line//@STORE@/$store}
    line=${line//@ID1PREFIX@/${id1:0:6}}
    got=$(offers "$line")
    [ "$got" = "$expected" ] || fail "completing '$line': expected '$expected', got '$got'"
done <<'EOF'
vantorel-uptime |add check delete heartbeats help list record serve show uptime watch webhook
vantorel-uptime de|delete
vantorel-uptime se|serve
vantorel-uptime -|--color --dir --help --json --version
vantorel-uptime --color |always auto never
vantorel-uptime --color = |always auto never
vantorel-uptime --color =|=always =auto =never
vantorel-uptime --color = al|always
vantorel-uptime --dir dir-|dir-a dir-b
vantorel-uptime --dir = dir-|dir-a dir-b
vantorel-uptime --dir @STORE@ delete |@IDS@
vantorel-uptime --dir = @STORE@ uptime |@IDS@
vantorel-uptime --dir @STORE@ heartbeats @ID1PREFIX@|@ID1@
vantorel-uptime --dir @STORE@ heartbeats --limit |
vantorel-uptime --dir @STORE@ heartbeats --limit 5 |@IDS@
vantorel-uptime --dir @STORE@ heartbeats @ID1PREFIX@ |
vantorel-uptime --dir @STORE@ check |@IDS@
vantorel-uptime --dir @STORE@ check @ID1PREFIX@ |@IDS@
vantorel-uptime --dir @STORE@ record |@IDS@
vantorel-uptime --dir @STORE@ record @ID1PREFIX@ |down pending up
vantorel-uptime --dir @STORE@ record @ID1PREFIX@ up |
vantorel-uptime list --dir @STORE@ |
vantorel-uptime delete --dir @STORE@ |@IDS@
vantorel-uptime delete |
vantorel-uptime --dir dir-a delete |
vantorel-uptime add Web |dns http ping tcp
vantorel-uptime add Web h|http
vantorel-uptime add -|--color --dir --help --interval --json
vantorel-uptime check --|--all --color --dir --help --json
vantorel-uptime watch --|--color --dir --help --interval-override --json --once
vantorel-uptime webhook -|--clear --color --dir --help --json
vantorel-uptime heartbeats -|--color --dir --help --json --limit
vantorel-uptime list -|--color --dir --help --json
vantorel-uptime --dir @STORE@ show |@IDS@
vantorel-uptime --dir @STORE@ show @ID1PREFIX@ |
vantorel-uptime show -|--color --dir --help --json
vantorel-uptime serve -|--color --dir --help --listen --public --save-interval --verbose
vantorel-uptime serve --listen |
vantorel-uptime --dir @STORE@ serve --save-interval 5 |
vantorel-uptime help |add check delete heartbeats help list record serve show uptime watch webhook
EOF

# The man page is valid roff.
if command -v groff >/dev/null; then
    sed 's/@PROJECT_VERSION@/0/' "$man_page" >"$work/page.1"
    warnings=$(groff -man -ww -z "$work/page.1" 2>&1)
    [ -z "$warnings" ] || fail "groff warns about the man page: $warnings"
else
    fail "groff is not installed (bash scripts/setup.sh --tests installs it)"
fi

# Every command and option of the program's help, in the man page and in the
# completion.
man_text=$(sed 's/\\-/-/g; s/\\f[BIR]//g' "$man_page")
commands=$("$cli" --help | sed -n '/^commands:/,/^$/p' | awk 'NF {print $1}' | sed '/commands:/d' | sort -u)
[ "$(echo "$commands" | wc -l)" -eq 11 ] || fail "expected 11 commands in --help, got: $commands"
for command in $commands; do
    grep -qE "^(\.B[IR]? )?\"?$command[\" ]|^$command " <<<"$man_text" || fail "man page lacks command $command"
    [ "$(offers "vantorel-uptime ${command:0:3}")" = "$command" ] || fail "completion lacks command $command"
    for option in $("$cli" "$command" --help | grep -oE -- '^ +--[a-z-]+' | sort -u); do
        grep -qF -- "$option" <<<"$man_text" || fail "man page lacks $option of $command"
        [[ " $(offers "vantorel-uptime $command -") " == *" $option "* ]] || fail "completion lacks $option of $command"
    done
done
for section in "EXIT STATUS" "FILES" "ENVIRONMENT" "THE STORE" "JSON OUTPUT" "THE SERVICE"; do
    grep -q "^\.SH $section" "$man_page" || fail "man page lacks the section $section"
done
for status in 0 1 2 3; do
    grep -qE "^\.B $status$" "$man_page" || fail "man page lacks exit status $status"
done

if [ $failures -eq 0 ]; then
    echo "completion and man page: all checks passed"
    exit 0
fi
echo "$failures checks failed"
exit 1
