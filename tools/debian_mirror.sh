# Sourced by the scripts that fetch from Debian's archive (bash).
#
# find_mirror prints the Debian archive that this machine's apt sources name:
# the first URI whose path is /debian, in the one-line and the deb822 formats.
# It prints nothing when there is none.
find_mirror() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -r "$f" ] || continue
    case $f in
      *.sources) awk 'tolower($1) == "uris:" { for (i = 2; i <= NF; i++) print $i }' "$f" ;;
      *) sed -e 's/\[[^]]*\]//' "$f" | awk '$1 == "deb" { print $2 }' ;;
    esac
  done | grep -E -m1 '^(https?|ftp)://[^ ]*/debian/?$' || true
}
