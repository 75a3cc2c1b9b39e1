#!/usr/bin/env bash
# workflow_lint_test.sh SOURCE_DIR
# Lints the project's GitHub workflows, offline, with the linter that scripts/test installs
# from npm (tests/workflow-lint): each must pass. So that a pass means something,
# copies of each with a key misspelt in one place, as a slip would leave it, must fail.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: workflow_lint_test.sh SOURCE_DIR" >&2; exit 2; }
source_dir=$(realpath "$1")
lint=$source_dir/tests/workflow-lint/node_modules/.bin/action-validator
[ -x "$lint" ] || { echo "FAIL the workflow linter is not installed: run scripts/test, or npm ci --prefix tests/workflow-lint" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/pnpinstall-workflow.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
# Each slip: what a sed expression does to the first line it matches.
slips=(
    's/^jobs:/jobz:/'                 "a misspelt top-level key"
    '0,/runs-on:/s/runs-on:/runs_on:/' "a misspelt job key"
    '0,/ with:/s/ with:/ wiht:/'       "a misspelt step key"
    '0,/ uses:/s/ uses:/ use:/'        "a step that neither runs nor uses anything"
)
for workflow in "$source_dir"/.github/workflows/*.yml; do
    name=$(basename "$workflow")
    if output=$("$lint" "$workflow" 2>&1); then
        echo "ok   $name passes"
    else
        echo "FAIL $name:"; sed 's/^/  | /' <<<"$output"; failures=$((failures + 1))
    fi
    for ((i = 0; i < ${#slips[@]}; i += 2)); do
        sed "${slips[i]}" "$workflow" >"$work/$name"
        if cmp -s "$workflow" "$work/$name"; then
            echo "FAIL $name has nowhere to make $(tr -d '\n' <<<"${slips[i + 1]}") with ${slips[i]}"; failures=$((failures + 1))
        elif "$lint" "$work/$name" >/dev/null 2>&1; then
            echo "FAIL $name with ${slips[i + 1]} (${slips[i]}) passes the linter"; failures=$((failures + 1))
        else
            echo "ok   $name with ${slips[i + 1]} fails"
        fi
    done
done
[ "$failures" -eq 0 ] || { echo "$failures workflow check(s) failed" >&2; exit 1; }
