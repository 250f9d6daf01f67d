#!/usr/bin/env bash
# scripts/setup.sh against stand-ins for dpkg-query, dpkg, apt-get and id
# put first on PATH: nothing is installed, and each case gives the package
# index and the installer one way of failing. Checks setup's exit status and
# what it says.
#
#   bash tests/setup/setup_test.sh [SETUP]
set -uo pipefail
setup=${1:-$(dirname "$0")/../../scripts/setup.sh}
fails=0

# A fresh stand-in world: every package installed except those named in
# $world/absent; apt-get fails its first $update_failures updates and
# refuses to install anything in $refuse, as apt does, by installing none
# of the packages of that run.
make_world() {  # make_world ABSENT... ; sets $world
  world=$(mktemp -d)
  mkdir "$world/bin"
  printf '%s\n' "$@" >"$world/absent"
  echo 0 >"$world/updates"
  : >"$world/calls"
  cat >"$world/bin/dpkg-query" <<EOF
#!/usr/bin/env bash
package=\${@: -1}
grep -qxF -- "\$package" "$world/absent" && exit 1
echo -n "install ok installed"
EOF
  cat >"$world/bin/dpkg" <<EOF
#!/usr/bin/env bash
case \$1 in
  --print-foreign-architectures) cat "$world/arch" 2>/dev/null ;;
  --add-architecture) echo "\$2" >>"$world/arch" ;;
esac
EOF
  cat >"$world/bin/id" <<'EOF'
#!/usr/bin/env bash
echo 0
EOF
  cat >"$world/bin/apt-get" <<EOF
#!/usr/bin/env bash
echo "apt-get \$*" >>"$world/calls"
if [[ \$1 == update ]]; then
  n=\$(( \$(cat "$world/updates") + 1 )); echo \$n >"$world/updates"
  if [[ \$n -le \${update_failures:-0} ]]; then
    echo "Err:6 http://deb.debian.org/debian-security bookworm-security/main i386 Packages"
    echo "  File has unexpected size (374820 != 376004). Mirror sync in progress?"
    echo "E: Some index files failed to download. They have been ignored, or old ones used instead."
    exit 100
  fi
  exit 0
fi
packages=()
for a in "\$@"; do [[ \$a == -* || \$a == install ]] || packages+=("\$a"); done
for p in "\${packages[@]}"; do
  if [[ " \${refuse:-} " == *" \$p "* ]]; then
    echo "The following packages have unmet dependencies:"
    echo " \$p : Depends: libfoo:i386 (>= 1.0) but it is not going to be installed"
    echo "E: Unable to correct problems, you have held broken packages."
    exit 100
  fi
done
[[ " \$* " == *" -s "* ]] && { printf 'Inst %s\n' "\${packages[@]}"; exit 0; }
for p in "\${packages[@]}"; do grep -vxF -- "\$p" "$world/absent" >"$world/absent.new"; mv "$world/absent.new" "$world/absent"; done
EOF
  chmod +x "$world/bin/"*
}

run_setup() {  # run_setup; sets $out and $status
  out=$(PATH="$world/bin:$PATH" ZUL_SETUP_RETRY_PAUSE=0 bash "$setup" 2>&1)
  status=$?
}

expect() {  # expect CASE CONDITION-DESCRIPTION TEST...
  local case=$1 what=$2
  shift 2
  if "$@"; then
    echo "ok   $case: $what"
  else
    echo "FAIL $case: $what"
    echo "---- setup said:"
    echo "$out" | sed 's/^/  | /'
    fails=$((fails + 1))
  fi
}
says() { grep -qF -- "$1" <<<"$out"; }
absent() { grep -qxF -- "$1" "$world/absent"; }

# One index fails twice: setup names it, goes on and installs.
make_world tshark lintian
update_failures=2 run_setup
expect index "exit status 0" test $status -eq 0
expect index "tried the update twice" test "$(cat "$world/updates")" -eq 2
expect index "names the failed index" says "bookworm-security/main i386 Packages"
expect index "goes on with the lists it has" says "going on with the lists apt has"
expect index "installed the missing packages" bash -c "! grep -qx tshark '$world/absent' && ! grep -qx lintian '$world/absent'"
rm -rf "$world"

# An index that fails once only: the second update works, nothing is said of failed indexes.
make_world tshark
update_failures=1 run_setup
expect retry "exit status 0" test $status -eq 0
expect retry "no index named as failed" bash -c "! grep -qF 'failed twice' <<<\"\$1\"" _ "$out"
rm -rf "$world"

# 32-bit wine refused: the required packages are installed all the same,
# setup succeeds and says loudly what it could not install and why.
make_world tshark wine32:i386
refuse="wine32:i386" run_setup
expect wine32 "exit status 0" test $status -eq 0
expect wine32 "installed the required one" bash -c "! grep -qx tshark '$world/absent'"
expect wine32 "notice names 32-bit wine" says "NOTICE: wine32:i386 (32-bit wine) could not be installed"
expect wine32 "gives apt's reason" says "held broken packages"
expect wine32 "says what runs instead" says "64-bit build under wine64"
expect wine32 "enabled the i386 architecture" grep -qx i386 "$world/arch"
rm -rf "$world"

# A required package refused: setup fails, names it with apt's reason, and
# still installs the other packages, 32-bit wine included.
make_world tshark lintian wine32:i386
refuse="tshark" run_setup
expect required "exit status 1" test $status -eq 1
expect required "names the refused package" says "cannot install tshark, which is required"
expect required "gives apt's reason" says "tshark : Depends: libfoo:i386"
expect required "the final line names it" says "FAILED: required packages not installed: tshark"
expect required "installed the other required package" bash -c "! grep -qx lintian '$world/absent'"
expect required "installed 32-bit wine" bash -c "! grep -qx 'wine32:i386' '$world/absent'"
rm -rf "$world"

# Nothing missing: no apt-get at all.
make_world
run_setup
expect present "exit status 0, no apt-get" bash -c "[[ $status -eq 0 && ! -s '$world/calls' ]]"
rm -rf "$world"

[[ $fails -eq 0 ]] && echo "setup stand-ins: all cases passed" || echo "setup stand-ins: $fails checks failed"
[[ $fails -eq 0 ]]
