# Sourced by the install checks: a temporary folder removed on exit, and
# fail, which reports a check and lets the others run.
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
