#!/usr/bin/env bash
# workflow_lint_test.sh SOURCE_DIR
# Lints the project's GitHub workflows, offline, with the linter that scripts/test installs
# from npm (tests/linux/workflow-lint): each must pass. So that a pass means something,
# copies of each with a key misspelt in one place, as a slip would leave it, must fail.
# Then what the Windows workflow means (workflow_rules.jq, read with yq): it keeps every
# rule, and copies with one rule broken are caught.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: workflow_lint_test.sh SOURCE_DIR" >&2; exit 2; }
source_dir=$(realpath "$1")
lint=$source_dir/tests/linux/workflow-lint/node_modules/.bin/action-validator
[ -x "$lint" ] || { echo "FAIL the workflow linter is not installed: run scripts/test, or npm ci --prefix tests/linux/workflow-lint" >&2; exit 1; }

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
# The linter's schema predates GitHub's `attestations` permission (artifact attestations,
# 2024): that key is taken out of what it reads, and workflow_rules.jq holds the
# permissions of the job that has it.
lint() { sed '/^ *attestations: write/d' "$1" >"$work/linted.yml" && "$lint" "$work/linted.yml"; }
for workflow in "$source_dir"/.github/workflows/*.yml; do
    name=$(basename "$workflow")
    if output=$(lint "$workflow" 2>&1); then
        echo "ok   $name passes"
    else
        echo "FAIL $name:"; sed 's/^/  | /' <<<"$output"; failures=$((failures + 1))
    fi
    for ((i = 0; i < ${#slips[@]}; i += 2)); do
        sed "${slips[i]}" "$workflow" >"$work/$name"
        if cmp -s "$workflow" "$work/$name"; then
            echo "FAIL $name has nowhere to make $(tr -d '\n' <<<"${slips[i + 1]}") with ${slips[i]}"; failures=$((failures + 1))
        elif lint "$work/$name" >/dev/null 2>&1; then
            echo "FAIL $name with ${slips[i + 1]} (${slips[i]}) passes the linter"; failures=$((failures + 1))
        else
            echo "ok   $name with ${slips[i + 1]} fails"
        fi
    done
done

rules() { yq -r -f "$source_dir/tests/linux/workflow_rules.jq" "$1" 2>&1; } # WORKFLOW: the rules it breaks
windows=$source_dir/.github/workflows/windows.yml
broken=$(rules "$windows")
if [ -z "$broken" ]; then echo "ok   windows.yml keeps the workflow's rules"; else
    echo "FAIL windows.yml breaks the workflow's rules:"; sed 's/^/  | /' <<<"$broken"; failures=$((failures + 1)); fi
# Each slip: a sed expression, what it does, and what the rules must then say.
slips=(
    's/needs: \[release, kit, kit-arm\]/needs: [release, kit]/' "a release published without the ARM64 kits"
        "publishes without waiting for the kit job kit-arm"
    '/runner: windows-11-arm, kit: arm64/d' "no job for the ARM64 kit" "no job runs the ARM64 kit"
    '/name: Keep the report/{n;/if: always()/d}' "a failed kit's report dropped" "kit: the report is not kept when the kit fails"
    '/Get-FileHash/d' "a kit run unchecked" "kit: the kit is not checked against SHA256SUMS"
    's/^\( *\)contents: write .*/\1contents: write\n\1packages: write/' "a publishing job allowed more than it needs"
        "publish: permissions"
)
for ((i = 0; i < ${#slips[@]}; i += 3)); do
    sed "${slips[i]}" "$windows" >"$work/windows.yml"
    broken=$(rules "$work/windows.yml")
    if cmp -s "$windows" "$work/windows.yml"; then
        echo "FAIL windows.yml has nowhere to make ${slips[i + 1]} with ${slips[i]}"; failures=$((failures + 1))
    elif grep -qF -- "${slips[i + 2]}" <<<"$broken"; then
        echo "ok   windows.yml with ${slips[i + 1]}: \"${slips[i + 2]}\""
    else
        echo "FAIL windows.yml with ${slips[i + 1]} is not caught (the rules said: ${broken:-nothing})"; failures=$((failures + 1))
    fi
done
[ "$failures" -eq 0 ] || { echo "$failures workflow check(s) failed" >&2; exit 1; }
