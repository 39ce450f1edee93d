# The extensions allowed to start the host and the manifests that name them, for
# install-user.sh and update-vantrel-print-host-manifests (POSIX sh, sourced; the caller has
# set -eu and -f). The same rules as cmake/manifests.cmake, which renders the Windows ones.
# shellcheck shell=sh disable=SC2034  # the callers read the variables set here

newline='
'
origins=''      # allowed Chromium origins, each followed by a line end
firefox_ids=''  # allowed Firefox extension ids, the same way
added=''        # whether the last allow added its entry (no: it was already there)

# allow origin|firefox-id ENTRY [WHERE]: adds the entry once, or says why it is refused (one
# malformed origin makes Chromium reject the whole manifest) and fails.
allow() {
  case $1 in
    origin)
      pattern='chrome-extension://[a-p]{32}/'
      what='a Chromium extension origin: chrome-extension:// + the 32-letter id (a-p) + /' ;;
    *)
      # Firefox's own rule: one "+" or other character outside it makes Firefox reject the
      # whole manifest, for every extension it lists.
      pattern='\{[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\}|[A-Za-z0-9._-]*@[A-Za-z0-9._-]+'
      what='a Firefox extension id: {uuid}, or letters, digits, ".", "_" and "-" around one "@" (Firefox rejects the whole manifest otherwise; no "+")' ;;
  esac
  case $2 in
    *"$newline"*) ;;
    *)
      if printf '%s\n' "$2" | grep -Eqx -e "$pattern"; then
        if [ "$1" = origin ]; then known=$origins; else known=$firefox_ids; fi
        case "$newline$known" in
          *"$newline$2$newline"*) added=no ;;
          *) added=yes
             if [ "$1" = origin ]; then origins="$origins$2$newline"
             else firefox_ids="$firefox_ids$2$newline"; fi ;;
        esac
        return 0
      fi ;;
  esac
  echo "${0##*/}: \"$2\"${3:+ ($3)} is not $what" >&2
  return 1
}

# allow_from FILE: the entries of FILE, one a line ('#' starts a comment); an entry that starts
# with chrome-extension:// is an origin, any other a Firefox id. A missing file allows nothing.
allow_from() {
  [ -e "$1" ] || return 0
  line_number=0
  while IFS= read -r line || [ -n "$line" ]; do
    line_number=$((line_number + 1))
    line=${line%%#*}
    line=${line#"${line%%[![:space:]]*}"}
    line=${line%"${line##*[![:space:]]}"}
    case $line in
      '') ;;
      chrome-extension://*) allow origin "$line" "$1, line $line_number" ;;
      *) allow firefox-id "$line" "$1, line $line_number" ;;
    esac
  done < "$1"
}

# render_manifest TEMPLATE PROGRAM chromium|firefox FILE: writes the manifest naming PROGRAM
# (an absolute path) and the allowed entries, through a temporary name so that a browser
# never reads half of it. Entries passed allow, so they need no JSON escaping.
render_manifest() {
  if [ "$3" = firefox ]; then key=allowed_extensions; list=$firefox_ids
  else key=allowed_origins; list=$origins; fi
  json_list=$(printf '%s' "$list" | sed -e 's/.*/"&"/' | tr '\n' ',' | sed -e 's/,$//' -e 's/,/, /g')
  # The path as a JSON string, then escaped for sed's replacement text.
  json_path=$(printf '%s' "$2" | sed -e 's/\\/\\\\/g' -e 's/"/\\"/g' -e 's/[\\&|]/\\&/g')
  sed -e "s|\"@HOST_PATH@\"|\"$json_path\"|" -e "s|\"@ALLOWED_KEY@\"|\"$key\"|" \
      -e "s|\\[\"@ALLOWED_LIST@\"\\]|[$json_list]|" "$1" > "$4.new"
  chmod 644 "$4.new"  # readable by the browser, writable by the owner only
  mv -f "$4.new" "$4"
}
