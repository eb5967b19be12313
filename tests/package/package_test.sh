#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package from a Release tree, installs it with apt-get as a user would, checks
# the installed program, desktop entry, metainfo, manual page and polkit action, and removes the
# package again. Debian's checker, lintian, must find no error and no warning in the package.
# Usage: package_test.sh SOURCE_DIR RELEASE_TREE CMAKE_GENERATOR
# Exit code 77: skipped (not root, a tool missing, or the package was installed before).
set -euo pipefail
source_dir=$1 tree=$2 generator=$3
here=$(cd "$(dirname "$0")" && pwd)
app_id=de.drellwerk.TobraInstaller
package=tobra-installer

skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }
installed() { dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; }

[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
for tool in apt-get dpkg-deb dpkg-shlibdeps dpkg-buildflags dpkg-parsechangelog file desktop-file-validate \
            appstreamcli xmllint lintian groff; do
    command -v "$tool" >/dev/null || skip "$tool is not installed"
done
installed && skip "$package is already installed here; the test would remove it"

echo "== Release tree and package"
"$source_dir/packaging/build-deb.sh" "$tree" "$generator"
debs=("$tree"/"$package"_*.deb)
[ -f "${debs[0]}" ] || fail "cpack made no package"
deb=${debs[0]}

echo "== Dependencies"
depends=$(dpkg-deb -f "$deb" Depends)
echo "$depends"
dependency_names=" $(echo "$depends" | sed -E 's/ *\([^)]*\)//g; s/,/ /g') "
for needed in libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 libssl3 mount pkexec; do
    [[ $dependency_names == *" $needed "* ]] || fail "Depends lacks $needed"
done

echo "== appstreamcli validate-tree (package contents)"
stage=$(mktemp -d)
remove_package() {
    rm -rf "$stage"
    if installed; then
        echo "== Removing the package"
        DEBIAN_FRONTEND=noninteractive apt-get remove -y -q -o DPkg::Lock::Timeout=300 "$package"
    fi
}
trap remove_package EXIT
dpkg-deb -x "$deb" "$stage"
appstreamcli validate-tree --no-net --pedantic "$stage"

echo "== lintian (informational tags are shown, errors and warnings fail)"
lintian --no-cfg --display-info --fail-on error,warning "$deb" || fail "lintian found errors or warnings"

echo "== Changelog and manual page"
package_version=$(dpkg-deb -f "$deb" Version)
manual=$stage/usr/share/man/man1/$package.1.gz
changelog_version=$(zcat "$stage/usr/share/doc/$package/changelog.gz" | dpkg-parsechangelog -l- -S Version)
[ "$changelog_version" = "$package_version" ] ||
    fail "the changelog's latest entry is $changelog_version, not $package_version"
zgrep -q "^\.TH .*\"Tobra Installer $package_version\"" "$manual" ||
    fail "the manual page does not name version $package_version"
groff_warnings=$(groff -man -ww -z "$source_dir/packaging/$package.1" 2>&1)
[ -z "$groff_warnings" ] || fail "groff warns about the manual page: $groff_warnings"
echo "ok: version $package_version in changelog and manual page, groff -ww is silent"

echo "== apt-get install"
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
    -o DPkg::Lock::Timeout=300 "$deb"
installed || fail "$package is not installed after apt-get install"
dpkg -L "$package"

echo "== The installed program"
program=$(command -v tobra-installer) || fail "tobra-installer is not on PATH"
[ "$program" = /usr/bin/tobra-installer ] || fail "tobra-installer found at $program"
version=$(QT_QPA_PLATFORM=offscreen tobra-installer --version 2>/dev/null)
[ "$version" = "TobraInstaller 0.1.0" ] || fail "--version printed '$version'"
status=0
helper_output=$(tobra-installer --write-helper 2>/dev/null) || status=$?
[ "$status" -eq 2 ] || fail "--write-helper without arguments ended with $status, not 2"
[ "$helper_output" = "ERROR Falsche Argumente für den Schreib-Helfer" ] ||
    fail "--write-helper without arguments printed '$helper_output'"
echo "ok: --version, --write-helper"
manual_text=$(zcat "$manual" | groff -man -Tutf8 -P-cbou 2>/dev/null)
# Both help texts, the window's and the command line's; neither needs a display.
for help in --help "--cli --help"; do
    # shellcheck disable=SC2086 # the second entry is two arguments
    help_text=$(env -u DISPLAY -u WAYLAND_DISPLAY tobra-installer $help 2>/dev/null) || fail "$help failed"
    for option in $(grep -oE -- '--[a-z-]+' <<<"$help_text"); do
        grep -qE -- "(^|[^a-z-])$option([^a-z-]|\$)" <<<"$manual_text" ||
            fail "the manual page lacks $option from $help"
    done
done
echo "ok: the manual page documents every option of --help and --cli --help"

echo "== desktop-file-validate"
desktop-file-validate /usr/share/applications/$app_id.desktop
echo "== appstreamcli validate"
appstreamcli validate --no-net --pedantic /usr/share/metainfo/$app_id.metainfo.xml

echo "== polkit action"
policy=/usr/share/polkit-1/actions/$app_id.policy
dtd=/usr/share/polkit-1/policyconfig-1.dtd
if [ -f "$dtd" ]; then
    xmllint --noout --dtdvalid "$dtd" "$policy"
else
    echo "SKIP: no polkit DTD at $dtd, checking well-formedness only"
    xmllint --noout "$policy"
fi
exec_path=$(xmllint --xpath 'string(//annotate[@key="org.freedesktop.policykit.exec.path"])' "$policy")
[ "$exec_path" = "$(readlink -f "$program")" ] || fail "the action names $exec_path, not $program"
echo "ok: valid, exec.path = $exec_path"

echo "== pkexec's password prompt"
private_polkit_possible() {
    for tool in unshare dbus-daemon pkaction runuser script pkexec; do
        command -v "$tool" >/dev/null || return 1
    done
    [ -x /usr/lib/polkit-1/polkitd ] && id nobody >/dev/null 2>&1 && unshare -m true 2>/dev/null
}
if ! private_polkit_possible; then
    echo "SKIP (this part): a private polkitd needs unshare with mount namespaces, dbus-daemon," \
         "polkitd, pkaction, runuser, script, pkexec and the user nobody"
    exit 0
fi
prompt=$stage/prompt.txt
status=0
unshare -m "$here/polkit_prompt.sh" "$prompt" "pkexec $program --write-helper --stdin /dev/null --verify" ||
    status=$?
if [ "$status" -eq 77 ]; then
    echo "SKIP (this part): the private polkitd did not answer"
    exit 0
fi
[ "$status" -eq 0 ] || fail "running pkexec against a private polkitd failed ($status)"
cat "$prompt"
grep -q "AUTHENTICATING FOR $app_id.write-card" "$prompt" || fail "pkexec did not choose the action"
message="Der Tobra Installer möchte Tobra auf die gewählte Speicherkarte schreiben. Alle Daten auf der Karte werden dabei gelöscht. Dafür ist eine Anmeldung als Administrator nötig."
grep -qF "$message" "$prompt" || fail "the prompt lacks the German message"
# Whoever types the password sees which device will be erased, first in the message.
grep -qF "Befehl: $program --write-helper --stdin /dev/null --verify. Der Tobra Installer" "$prompt" ||
    fail "the prompt does not name the target device first"
# The action covers the write helper only, not the program started as root for anything else.
unshare -m "$here/polkit_prompt.sh" "$prompt" "pkexec $program --version" || fail "second pkexec run failed"
grep -q "AUTHENTICATING FOR org.freedesktop.policykit.exec " "$prompt" ||
    fail "pkexec $program --version did not fall back to the generic action: $(cat "$prompt")"
echo "ok: the write helper gets the German prompt, other command lines the generic one"
