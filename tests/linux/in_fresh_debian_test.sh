#!/usr/bin/env bash
# in_fresh_debian_test.sh SCRIPTS_DIR
# scripts/in-fresh-debian without debootstrap: a stand-in debootstrap fills the root from a
# prepared folder (bash and a few programs of this machine's, with their libraries). The
# command runs in a clone of HEAD, with the archive's sources and this machine's local
# certificate authorities; its failure is the script's; a mount or a process it leaves is
# found, and the root is removed, with nothing of it left mounted, whatever happened.
# Needs root, as the script does.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: in_fresh_debian_test.sh SCRIPTS_DIR" >&2; exit 2; }
script=$(realpath "$1/in-fresh-debian")
[ "$(id -u)" -eq 0 ] || { echo "skipped: scripts/in-fresh-debian needs root (chroot and mounts)"; exit 77; }

work=$(mktemp -d "${TMPDIR:-/tmp}/pnpinstall-fresh.XXXXXX")
trap '{ findmnt -rn -o TARGET | grep "^$work/" | sort -r | xargs -r umount -l; } || true; rm -rf --one-file-system "$work"' EXIT

# The prepared root: what a command here needs, and the folders the script mounts on.
prepared=$work/prepared
mkdir -p "$prepared"/{usr/bin,usr/lib,usr/lib64,proc,sys,dev,mnt,etc/apt,usr/local/share/ca-certificates}
for link in bin lib lib64 sbin; do ln -s "usr/${link/sbin/bin}" "$prepared/$link"; done
for program in bash env cat ls sleep mount; do
    cp "$(command -v "$program")" "$prepared/usr/bin/"
    ldd "$(command -v "$program")" | grep -o '/[^ ]*' | xargs -I{} cp -L --parents {} "$prepared"
done
mkdir -p "$work/bin"
cat >"$work/bin/debootstrap" <<EOF
#!/usr/bin/env bash
# --variant=minbase RELEASE ROOT ARCHIVE
echo "\$*" >"$work/debootstrap.args"
cp -a "$prepared/." "\$3/"
EOF
chmod +x "$work/bin/debootstrap"

failures=0
check() { # description, then a command that succeeds when it holds
    local what=$1; shift
    if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failures=$((failures + 1)); fi
}
# run NAME COMMAND...: the script in trixie with COMMAND; output and status kept.
run() {
    local name=$1; shift
    local status=0
    PATH="$work/bin:$PATH" TMPDIR=$work PNPINSTALL_MACHINE_ONLY=1 PNPINSTALL_DEBIAN_ARCHIVE="http://archive.example/debian http://archive.example/debian-security" \
        timeout 120 "$script" trixie "$@" >"$work/$name.out" 2>&1 || status=$?
    echo "$status" >"$work/$name.status"
}
gone() { # NAME: the root was removed, nothing of it mounted, nothing running in it
    check "$1: the root is removed" bash -c '! ls -d "$0"/pnpinstall-trixie.* 2>/dev/null' "$work"
    check "$1: nothing of it is mounted" bash -c '! findmnt -rn -o TARGET | grep -q "^$0/pnpinstall-trixie"' "$work"
    check "$1: nothing runs in it" bash -c '! ls -l /proc/[0-9]*/root 2>/dev/null | grep -q "$0/pnpinstall-trixie"' "$work"
}
show() { echo "  $1 printed (status $(cat "$work/$1.status")):"; sed '/^#!/q' "$work/$1.out" | sed 's/^/  | /'; }

# A command that looks around: the clone, the sources, the certificate authorities.
run looks bash -c 'echo "in: $PWD"; echo "sources:"; cat /etc/apt/sources.list
    echo "authorities:" $(ls /usr/local/share/ca-certificates); echo "environment:" $(compgen -e)
    cat scripts/in-fresh-debian'
before=$failures
check "looks: status 0" test "$(cat "$work/looks.status")" = 0
check "looks: debootstrap made a minimal trixie root from the archive" \
    grep -qx -- "--variant=minbase trixie $work/pnpinstall-trixie\.[^ ]* http://archive.example/debian" "$work/debootstrap.args"
check "looks: runs in a clone of HEAD" bash -c 'grep -qx "in: /src/pnpinstall" "$0" &&
    git -C "$1/.." show HEAD:scripts/in-fresh-debian | cmp -s - <(sed -n "/^#!/,\$p" "$0")' "$work/looks.out" "$(dirname "$script")"
check "looks: the root installs from the archive, its updates and its security archive" test "$(sed -n '/^sources:$/,/^authorities:/p' "$work/looks.out")" = \
    "sources:
deb http://archive.example/debian trixie main
deb http://archive.example/debian trixie-updates main
deb http://archive.example/debian-security trixie-security main
authorities: $(ls /usr/local/share/ca-certificates | xargs)"
check "looks: a fresh login's variables, none of this machine's" \
    bash -c 'grep -q "^environment: .*\\bHOME\\b.*\\bPATH\\b" "$0" && ! grep -q "^environment: .*PNPINSTALL_MACHINE_ONLY" "$0"' "$work/looks.out"
[ "$failures" -eq "$before" ] || show looks
gone looks

# Each way a command can go wrong, with the status and the line the script must give.
while IFS='|' read -r name expected_status says command; do
    run "$name" bash -c "$command"
    before=$failures
    check "$name: status $expected_status" test "$(cat "$work/$name.status")" = "$expected_status"
    [ -z "$says" ] || check "$name: says \"$says\"" grep -qF "$says" "$work/$name.out"
    [ "$failures" -eq "$before" ] || show "$name"
    gone "$name"
done <<'EOF'
fails|3||exit 3
leaves_a_mount|1|left mounts behind on this machine:|mount -t tmpfs pnpinstall-left /mnt
leaves_a_process|0||sleep 600 >/dev/null 2>&1 &
EOF
[ "$failures" -eq 0 ] || { echo "$failures in-fresh-debian check(s) failed" >&2; exit 1; }
