#!/bin/sh
# Installs the print host for the current user, without root: the program under
# ~/.local/lib/vantrel-print-host and a manifest in each browser's per-user folder.
#
#   ./install-user.sh [--allow-origin chrome-extension://<id>/]... [--allow-firefox-id <id>]...
#                     [--chromium-profile DIR]...
#       installs (or updates). The extensions given are allowed besides the package's own and
#       kept in ~/.local/lib/vantrel-print-host/allowed-extensions (one a line; edit it and
#       run this again), so that a later install keeps them. --allow-origin also takes the
#       bare 32-letter id. --chromium-profile also registers the host for a Chromium browser
#       started with --user-data-dir=DIR, which reads manifests from DIR/NativeMessagingHosts
#       only (besides the system's).
#       Every file is written with an explicit mode (the program 755, the rest 644, folders
#       755), whatever the caller's umask: another user must not be able to replace them.
#   ./install-user.sh --remove
#       removes what the installs wrote, as listed in ~/.local/lib/vantrel-print-host/
#       installed-files, and no other file; the ledger stays.
#
# Browsers from Snap or Flatpak cannot start native hosts at all (see the README).
set -eu
set -f  # a home folder may hold * ? [ : no path is ever a pattern
umask 022  # folders 755 and files 644 unless set otherwise below, whatever the caller's

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=install/linux/manifests.sh
. "$here/manifests.sh"
program_dir="$HOME/.local/lib/vantrel-print-host"
program="$program_dir/vantrel-print-host"
user_allowed="$program_dir/allowed-extensions"
record="$program_dir/installed-files"
config="${XDG_CONFIG_HOME:-$HOME/.config}"
case $config in /*) ;; *) config="$HOME/.config" ;; esac  # as the XDG rules say
chromium_folders="$config/google-chrome/NativeMessagingHosts
$config/chromium/NativeMessagingHosts
$config/microsoft-edge/NativeMessagingHosts
$config/BraveSoftware/Brave-Browser/NativeMessagingHosts
$config/vivaldi/NativeMessagingHosts"
firefox_folder="$HOME/.mozilla/native-messaging-hosts"
name=com.vantrel.print.json
IFS=$newline  # lists are split at line ends only: a home folder may hold spaces

fail() {
  echo "install-user.sh: $1" >&2
  exit 1
}

if [ "${1:-}" = --remove ]; then
  [ $# -eq 1 ] || fail "--remove takes no other option"
  if [ -f "$record" ]; then
    # Files, then the folders the installs made, the deepest first; a folder that something
    # else has put a file in since stays.
    while IFS= read -r entry; do
      case $entry in "file "*) rm -f -- "${entry#file }" ;; esac
    done < "$record"
    folders=$(sed -n 's/^folder //p' "$record" | sed -n '1!G;h;$p')
    rm -f -- "$record"
    for folder in $folders; do
      rmdir -- "$folder" 2>/dev/null || true
    done
  elif [ -e "$program" ]; then
    # An install by an earlier install-user.sh, which kept no record, wrote these.
    for folder in $chromium_folders $firefox_folder; do
      rm -f -- "$folder/$name"
    done
    rm -f -- "$program"
    rmdir -- "$program_dir" 2>/dev/null || true
  else
    echo "install-user.sh: nothing installed in $program_dir" >&2
  fi
  echo "removed; the ledger in \${XDG_STATE_HOME:-~/.local/state}/com.vantrel.print stays"
  exit 0
fi

case $HOME in /*) ;; *) fail "HOME must be an absolute path" ;; esac
case "$HOME$config" in *[[:cntrl:]]*) fail "HOME and XDG_CONFIG_HOME must not hold control characters" ;; esac

# Everything is checked before anything is written: the kept entries, then the new ones.
allow_from "$user_allowed"
new_entries=''
profiles=''
while [ $# -gt 0 ]; do
  case $1 in
    --allow-origin|--allow-firefox-id|--chromium-profile) [ $# -ge 2 ] || fail "$1 needs a value" ;;
  esac
  case $1 in
    --allow-origin|--allow-firefox-id)
      kind=${1#--allow-}
      entry=$2
      # The id chrome://extensions shows stands for its origin.
      if [ "$kind" = origin ] && printf '%s\n' "$entry" | grep -Eqx '[a-p]{32}'; then
        entry="chrome-extension://$entry/"
      fi
      allow "$kind" "$entry"
      [ "$added" = no ] || new_entries="$new_entries$entry$newline"
      shift 2 ;;
    --chromium-profile)
      [ -d "$2" ] || fail "--chromium-profile: \"$2\" is not a folder (start the browser once with --user-data-dir=$2)"
      case "$2" in *[[:cntrl:]]*) fail "--chromium-profile must not hold control characters" ;; esac
      profiles="$profiles$(cd -- "$2" && pwd)/NativeMessagingHosts$newline"
      shift 2 ;;
    *) fail "unknown option \"$1\" (--allow-origin, --allow-firefox-id, --chromium-profile, --remove)" ;;
  esac
done
allow_from "$here/package-allowed-extensions"

written=''  # what this install wrote, for the record
make_folder() {  # mkdir -p that notes each folder it makes, parents first
  [ -d "$1" ] && return 0
  make_folder "$(dirname -- "$1")"
  mkdir -m 755 -- "$1"
  written="${written}folder $1$newline"
}

make_folder "$program_dir"
# Replaced through a temporary name, so that a host the browser is running is not overwritten.
cp "$here/vantrel-print-host" "$program.new"
chmod 755 "$program.new"
mv -f "$program.new" "$program"
written="${written}file $program$newline"

if [ ! -e "$user_allowed" ]; then
  printf '%s\n' "# Extensions allowed to start the host besides the package's own, one a line:" \
    "# chrome-extension://<32 letters a-p>/ or a Firefox id. install-user.sh keeps them" \
    "# across installs; after editing, run it again." > "$user_allowed"
elif [ -n "$(tail -c 1 "$user_allowed")" ]; then
  echo >> "$user_allowed"  # an edited file may end without a line end
fi
printf '%s' "$new_entries" >> "$user_allowed"
chmod 644 "$user_allowed"
written="${written}file $user_allowed$newline"

for folder in $chromium_folders $profiles; do
  make_folder "$folder"
  render_manifest "$here/manifest.template.json" "$program" chromium "$folder/$name"
  written="${written}file $folder/$name$newline"
done
make_folder "$firefox_folder"
render_manifest "$here/manifest.template.json" "$program" firefox "$firefox_folder/$name"
written="${written}file $firefox_folder/$name$newline"

# The record keeps what earlier installs wrote too (another XDG_CONFIG_HOME, say).
for entry in $written; do
  grep -Fxq -e "$entry" "$record" 2>/dev/null || printf '%s\n' "$entry" >> "$record"
done
chmod 644 "$record"
echo "installed $program"
