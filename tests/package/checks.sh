# The package checks' verdicts: check counts a command's success or prints
# its failure with what it said; same compares a value with the expected one.
passed=0 failed=0
check() { # description, then a command that must succeed
  local what=$1 out; shift
  if out=$("$@" 2>&1); then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: $what"
    [ -z "$out" ] || sed 's/^/  /' <<<"$out"
  fi
}
same() { [ "$1" = "$2" ] || { echo "  got:      $1"; echo "  expected: $2"; return 1; }; }
