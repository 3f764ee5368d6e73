#!/usr/bin/env bash
# The installed tool as an author gets it: `cmake --install` of this build tree into a scratch
# DESTDIR, and the Debian package of scripts/package.sh installed into this machine.
# Usage: install_test.sh CASE BUILD_TREE SOURCE_TREE; exit 0 passed, 77 skipped, else failed.
set -euo pipefail
case_name=$1
tree=$(cd "$2" && pwd)
src=$(cd "$3" && pwd)
# Resolved, since the tool names its own folder with links resolved.
scratch=$(cd "$(mktemp -d)" && pwd -P)
trap 'rm -rf "$scratch"' EXIT
unset VANTREL_STUB

fail() { echo "FAILED: $*" >&2; exit 1; }
# Fails unless TEXT holds LINE as one of its lines.
has_line() { grep -qxF -- "$2" <<<"$1" || fail "no line '$2' in:"$'\n'"$1"; }

# Installs this tree under the prefix /usr/local of a scratch DESTDIR and sets $prefix to it.
install_tree() {
  DESTDIR=$scratch/dest cmake --install "$tree" --prefix /usr/local >"$scratch/install.log" 2>&1 ||
    { cat "$scratch/install.log" >&2; fail "cmake --install"; }
  prefix=$scratch/dest/usr/local
}

# `vantrel --version` names the stub at PATH with its size and SHA-256, as sha256sum has it.
expect_version_names() {
  local version=$1 path=$2 origin=$3
  has_line "$version" "stub: $path ($origin)"
  has_line "$version" "  $(stat -c %s "$path") bytes, SHA-256 $(sha256sum "$path" | cut -d' ' -f1)"
}

case $case_name in
  InstalledToolBuildsWithItsStub)
    install_tree
    stub=$prefix/share/vantrel/vantrel_stub.exe
    (cd "$scratch" && "$prefix/bin/vantrel" build "$src/samples/package" -o Setup.exe >/dev/null) ||
      fail "the installed vantrel did not build the sample without --stub"
    cmp -n "$(stat -c %s "$stub")" "$stub" "$scratch/Setup.exe" ||
      fail "the installer does not start with the installed stub"
    expect_version_names "$("$prefix/bin/vantrel" --version)" "$stub" "installed beside the program"
    # A moved installation uses its own stub, wherever it went.
    mv "$scratch/dest/usr/local" "$scratch/moved"
    expect_version_names "$("$scratch/moved/bin/vantrel" --version)" \
      "$scratch/moved/share/vantrel/vantrel_stub.exe" "installed beside the program"
    ;;

  StubSearchOrderAndItsErrors)
    install_tree
    cp "$prefix/share/vantrel/vantrel_stub.exe" "$scratch/other.exe"
    expect_version_names "$(VANTREL_STUB=$scratch/other.exe "$prefix/bin/vantrel" --version)" \
      "$scratch/other.exe" "from VANTREL_STUB"
    rm "$prefix/share/vantrel/vantrel_stub.exe"
    # Without a stub build and pack say in one line where they looked, and exit 2.
    while IFS='|' read -r variable args mention; do
      rc=0
      (cd "$scratch" && VANTREL_STUB=$variable "$prefix/bin/vantrel" $args) \
        >/dev/null 2>"$scratch/err" || rc=$?
      [ $rc -eq 2 ] || fail "'$args' with VANTREL_STUB='$variable' exited $rc"
      [ "$(wc -l <"$scratch/err")" -eq 1 ] || fail "'$args': not one line: $(cat "$scratch/err")"
      grep -qF -- "$mention" "$scratch/err" || fail "'$args': no '$mention' in $(cat "$scratch/err")"
    done <<EOF
|build $src/samples/package -o Setup.exe|VANTREL_STUB is not set and no stub is installed at '$prefix/share/vantrel/vantrel_stub.exe'
|pack --setup $src/samples/package/setup --patch Patch.dat -o Setup.exe|VANTREL_STUB is not set and no stub is installed at '$prefix/share/vantrel/vantrel_stub.exe'
$scratch/none.exe|build $src/samples/package -o Setup.exe|VANTREL_STUB names '$scratch/none.exe', which is not a file
EOF
    [ ! -e "$scratch/Setup.exe" ] || fail "an installer was written without a stub"
    ;;

  ManualPageRenders)
    install_tree
    page=$prefix/share/man/man1/vantrel.1
    rendered=$(LC_ALL=C.UTF-8 MANWIDTH=200 man --warnings -l "$page" 2>"$scratch/warnings") ||
      fail "man -l failed"
    [ ! -s "$scratch/warnings" ] || fail "man warns: $(cat "$scratch/warnings")"
    # The page holds what --help and each command's help print, line for line.
    for command in "" pack inspect apply diff verify build; do
      while IFS= read -r line; do
        [ -z "$line" ] || grep -qF -- "$line" <<<"$rendered" ||
          fail "the page lacks the line '$line' of 'vantrel help $command'"
      done < <("$prefix/bin/vantrel" help $command)
    done
    ;;

  CompletionCompletesCommands)
    install_tree
    # The script loads in a plain bash, then completes a command and an option of it.
    completions=$(bash --norc -c '
      source "$1" || exit 1
      COMP_WORDS=(vantrel bu); COMP_CWORD=1; _vantrel; echo "${COMPREPLY[*]}"
      COMP_WORDS=(vantrel build samples --st); COMP_CWORD=3; _vantrel; echo "${COMPREPLY[*]}"
      COMP_WORDS=(vantrel help ver); COMP_CWORD=2; _vantrel; echo "${COMPREPLY[*]}"
      complete -p vantrel' _ "$prefix/share/bash-completion/completions/vantrel") ||
      fail "the completion script does not load"
    has_line "$completions" "build"
    has_line "$completions" "--stub --strict"
    has_line "$completions" "verify"
    has_line "$completions" "complete -o filenames -F _vantrel vantrel"
    ;;

  DebianPackageInstallsAndRemoves)
    # It installs into this machine: only as root, and never over a vantrel installed already.
    [ "$(id -u)" -eq 0 ] || { echo "SKIPPED: dpkg -i needs root"; exit 77; }
    if dpkg-query -W -f='${Status}' vantrel 2>/dev/null | grep -q installed; then
      echo "SKIPPED: a vantrel package is installed on this machine already"; exit 77
    fi
    VANTREL_BUILD_ROOT=$(dirname "$tree") bash "$src/scripts/package.sh" deb "$scratch" \
      >"$scratch/package.log" 2>&1 || { cat "$scratch/package.log" >&2; fail "package.sh deb"; }
    deb=$(ls "$scratch"/vantrel_*.deb)
    trap 'dpkg -r vantrel >/dev/null 2>&1 || true; rm -rf "$scratch"' EXIT
    dpkg -i "$deb" >"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log" >&2; fail "dpkg -i"; }
    [ "$(command -v vantrel)" = /usr/bin/vantrel ] || fail "vantrel is not /usr/bin/vantrel"
    expect_version_names "$(cd / && vantrel --version)" /usr/share/vantrel/vantrel_stub.exe \
      "installed beside the program"
    # Whoever passes the package on needs its licence, and bzip2's for the stub's compiled-in copy.
    has_line "$(cat /usr/share/doc/vantrel/copyright)" "License: Expat"
    has_line "$(cat /usr/share/doc/vantrel/copyright)" "License: BSD-variant"
    dpkg -r vantrel >/dev/null 2>&1 || fail "dpkg -r vantrel"
    [ ! -e /usr/bin/vantrel ] && [ ! -e /usr/share/vantrel ] || fail "dpkg -r left files behind"
    ;;

  *) fail "no case '$case_name'" ;;
esac
echo "passed: $case_name"
