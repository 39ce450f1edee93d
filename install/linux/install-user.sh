#!/bin/sh
# Installs the print host for the current user, without root: the program under
# ~/.local/lib/vantrel-print-host and a manifest in each browser's per-user folder.
#   ./install-user.sh            install (or update)
#   ./install-user.sh --remove   remove the program and the manifests; the ledger stays
# Browsers from Snap or Flatpak cannot start native hosts at all (see the README).
set -eu

here=$(cd "$(dirname "$0")" && pwd)
program_dir="$HOME/.local/lib/vantrel-print-host"
program="$program_dir/vantrel-print-host"
config="${XDG_CONFIG_HOME:-$HOME/.config}"
chromium_folders="
$config/google-chrome/NativeMessagingHosts
$config/chromium/NativeMessagingHosts
$config/microsoft-edge/NativeMessagingHosts
$config/BraveSoftware/Brave-Browser/NativeMessagingHosts
$config/vivaldi/NativeMessagingHosts"
firefox_folder="$HOME/.mozilla/native-messaging-hosts"
name=com.vantrel.print.json
# The folder lists are split at line ends only: a home folder may hold spaces.
IFS='
'

if [ "${1:-}" = "--remove" ]; then
  for folder in $chromium_folders $firefox_folder; do
    rm -f "$folder/$name"
  done
  rm -f "$program"
  rmdir "$program_dir" 2>/dev/null || true
  echo "removed; the ledger in \${XDG_STATE_HOME:-~/.local/state}/com.vantrel.print stays"
  exit 0
fi

case "$HOME" in
  /*) ;;
  *) echo "install-user.sh: HOME must be an absolute path" >&2; exit 1 ;;
esac

mkdir -p "$program_dir"
# Replaced through a temporary name, so that a host the browser is running is not overwritten.
cp "$here/vantrel-print-host" "$program.new"
chmod 755 "$program.new"
mv -f "$program.new" "$program"

# The manifest names the program by its absolute path as a JSON string (escaped for JSON,
# then for sed's replacement text).
json_path=$(printf '%s' "$program" | sed -e 's/\\/\\\\/g' -e 's/"/\\"/g')
replacement=$(printf '%s' "$json_path" | sed -e 's/\\/\\\\/g' -e 's/[&|]/\\&/g')
render() {  # render TEMPLATE FOLDER
  mkdir -p "$2"
  sed "s|@INSTALLED_HOST@|$replacement|" "$here/$1" > "$2/$name.new"
  mv -f "$2/$name.new" "$2/$name"
}
for folder in $chromium_folders; do
  render com.vantrel.print.json.in "$folder"
done
render com.vantrel.print.firefox.json.in "$firefox_folder"
echo "installed $program"
