# shellcheck shell=bash
# shellcheck disable=SC2034 # apt_cause and apt_failed_indexes: for the scripts that source this
# Debian's archive through apt-get, each step's result checked. Sourced by
# ensure-packages.sh and ensure-i386.sh; needs root.
#
# apt_update refreshes the package indexes; apt_install installs packages.
# When either fails, apt_cause holds one line that says why and what to do.
# An index that fails to download is not trusted: apt ignores it, and so do we.

export DEBIAN_FRONTEND=noninteractive
# An index that fails to download is fetched again, up to APT_TRIES times in
# all, APT_RETRY_SECONDS apart: a mirror in the middle of a sync is often
# whole again a few seconds later.
APT_TRIES=${APT_TRIES:-3}
APT_RETRY_SECONDS=${APT_RETRY_SECONDS:-15}

# The indexes that the last apt_update could not fetch, one per line:
# "URL<TAB>what apt said".
apt_failed_indexes=
apt_cause=

# apt_run LOG ARGS...: apt-get ARGS, its output shown and kept in LOG.
apt_run() {
  local log=$1
  shift
  apt-get "$@" 2>&1 | tee "$log"
  return "${PIPESTATUS[0]}"
}

# The indexes an apt-get update's output says it could not fetch.
apt_fetch_failures() {
  sed -n 's/^[EW]: Failed to fetch \([^ ]*\)  *\(.*\)$/\1\t\2/p' "$1" | sed 's/ *\[IP: [^]]*\]$//'
}

# Whose side a failed fetch is on, and what a person can do about it.
apt_fetch_advice() {  # apt_fetch_advice MESSAGE PACKAGES
  case $1 in
    *"Could not resolve"* | *"Temporary failure resolving"* | *"Could not connect"* | \
      *"Connection refused"* | *"Connection timed out"* | *"Connection failed"* | \
      *"No route to host"* | *"Network is unreachable"*)
      echo "this machine could not reach the archive: check its network or proxy, then try again"
      ;;
    *) echo "that is on the archive's side: try again later, or install $2 by hand" ;;
  esac
}

# What an apt-get update stopped at, when it names no index: its first
# error's quoted URL or file, else "the package indexes".
apt_sources_of() {
  local source
  source=$(sed -n "s/^E: .*'\([^']*\)'.*$/\1/p" "$1" | head -1)
  echo "${source:-the package indexes}"
}

# apt_update: true when every index downloaded. Otherwise apt_failed_indexes
# lists those that did not, after APT_TRIES tries.
apt_update() {
  local log try status
  log=$(mktemp)
  for ((try = 1; ; try++)); do
    apt_run "$log" update -q
    status=$?
    apt_failed_indexes=$(apt_fetch_failures "$log")
    if [ "$status" -eq 0 ] && [ -z "$apt_failed_indexes" ]; then
      rm -f "$log"
      return 0
    fi
    if [ -z "$apt_failed_indexes" ]; then
      # No index named: apt's first error stands for them all.
      apt_failed_indexes="$(apt_sources_of "$log")"$'\t'"$(sed -n 's/^E: //p' "$log" | head -1)"
    fi
    [ "$try" -lt "$APT_TRIES" ] || break
    echo "apt: $(echo "$apt_failed_indexes" | wc -l) index(es) failed to download; trying again in $APT_RETRY_SECONDS s (try $((try + 1)) of $APT_TRIES)"
    sleep "$APT_RETRY_SECONDS"
  done
  rm -f "$log"
  return 1
}

# The failed indexes that PACKAGE... may need: those of the packages'
# architectures, and any that is not of one architecture (a Release file).
apt_indexes_for() {
  local native arches="" package
  native=$(dpkg --print-architecture)
  for package in "$@"; do
    case $package in
      *:*) arches="$arches ${package##*:}" ;;
      *) arches="$arches $native all" ;;
    esac
  done
  echo "$apt_failed_indexes" | while IFS=$'\t' read -r url message; do
    [ -n "$url" ] || continue
    case $url in
      */binary-*/*)
        for arch in $arches; do
          case $url in */binary-"$arch"/*) printf '%s\t%s\n' "$url" "$message" && break ;; esac
        done
        ;;
      *) printf '%s\t%s\n' "$url" "$message" ;;
    esac
  done
}

# apt_install [OPTION...] PACKAGE...: true when apt-get installed them all.
# Otherwise apt_cause says why: an index they need that did not download,
# when there is one, or else what apt said. OPTIONs are apt-get's, each one
# word ("-t=bookworm-backports").
apt_install() {
  local log status relevant url message options=() packages=()
  for word in "$@"; do
    case $word in -*) options+=("$word") ;; *) packages+=("$word") ;; esac
  done
  log=$(mktemp)
  apt_run "$log" install -y -q "${options[@]}" "${packages[@]}"
  status=$?
  apt_cause=
  if [ "$status" -ne 0 ]; then
    relevant=$(apt_indexes_for "${packages[@]}" | head -1)
    if [ -n "$relevant" ]; then
      IFS=$'\t' read -r url message <<<"$relevant"
      case $url in *://*) url="the archive's index $url" ;; esac
      apt_cause="$url did not download in $APT_TRIES tries, $APT_RETRY_SECONDS s apart (apt: \"$message\"); $(apt_fetch_advice "$message" "${packages[*]}")"
    else
      # apt's own words: its first error, and the first package it could
      # not fit in, when that is what stopped it.
      message=$(sed -n 's/^E: //p' "$log" | head -1)
      local unmet
      unmet=$(sed -n 's/^ \([^ ].*: Depends: .*\)$/\1/p' "$log" | head -1 | tr -s ' ')
      apt_cause="apt-get install failed (apt: \"${message:-exit status $status}\"${unmet:+; first unmet dependency: $unmet})"
    fi
  fi
  rm -f "$log"
  return "$status"
}
