# Sourced by the set-up scripts: installing Debian packages in a way that
# survives a registry in the middle of a sync. The caller sets `apt_name`
# (the name its messages start with) and may set `apt_root` to install into
# a root of its own through chroot.

apt_sudo=()
if [ "$(id -u)" != 0 ]; then apt_sudo=(sudo); fi

# apt_cmd COMMAND ARGS...: an apt command on this machine or in $apt_root.
apt_cmd() {
  if [ -n "${apt_root:-}" ]; then
    "${apt_sudo[@]}" chroot "$apt_root" /usr/bin/env DEBIAN_FRONTEND=noninteractive LC_ALL=C "$@"
  else
    "${apt_sudo[@]}" env DEBIAN_FRONTEND=noninteractive "$@"
  fi
}

# apt_missing PACKAGE...: prints those not installed, one a line. A name
# without ":arch" means the machine's own architecture (or "all"): the i386
# copy of a library does not stand in for it. Fails (status 1, the reason on
# standard error) when dpkg cannot be asked: an unanswered question is never
# taken for "installed". Callers take its output only when it succeeded.
apt_missing() {
  local p native query status
  if ! native=$(apt_cmd dpkg --print-architecture) || [ -z "$native" ]; then
    echo "$apt_name: cannot ask dpkg for this machine's architecture${apt_root:+ in $apt_root}" >&2
    return 1
  fi
  for p in "$@"; do
    # dpkg-query: 1 means the package is unknown (not installed), more is an error.
    status=0
    query=$(apt_cmd dpkg-query -W -f='${Package}:${Architecture} ${Status}\n' "$p" 2>/dev/null) || status=$?
    if ((status > 1)); then
      echo "$apt_name: cannot ask dpkg whether $p is installed (dpkg-query exit status $status)" >&2
      return 1
    fi
    awk -v want="$p" -v native="$native" '
      $2 " " $3 " " $4 != "install ok installed" { next }
      want ~ /:/ { if ($1 == want) found = 1; next }
      $1 == want ":" native || $1 == want ":all" { found = 1 }
      END { if (!found) print want }' <<<"$query"
  done
}

# apt_missing_into ARRAY PACKAGE...: apt_missing's lines into ARRAY; stops
# the script when dpkg cannot be asked.
apt_missing_into() {
  local -n into=$1
  shift
  local text
  text=$(apt_missing "$@") || exit 1
  into=()
  if [ -n "$text" ]; then mapfile -t into <<<"$text"; fi
}

# apt_update: refreshes the package lists, up to four times. A registry that
# is being synced (an index of the wrong size, a Release file that went
# away) usually answers a minute later. When it never does, the lists that
# did arrive may still hold every package needed: apt_install decides.
# The errors of the last try are kept in apt_update_errors.
apt_update() {
  local try out
  apt_update_errors=
  for try in 1 2 3 4; do
    if out=$(apt_cmd apt-get update -q 2>&1); then
      apt_update_errors=
      return 0
    fi
    apt_update_errors=$(grep -E '^(E|W|Err):' <<<"$out" || true)
    [ -n "$apt_update_errors" ] || apt_update_errors=$(tail -5 <<<"$out")
    if ((try < 4)); then
      echo "$apt_name: apt-get update failed (try $try of 4), again in $((try * 10)) s:" >&2
      sed 's/^/  /' <<<"$apt_update_errors" >&2
      sleep $((try * 10))
    fi
  done
  echo "$apt_name: apt-get update still fails; going on with the package lists that arrived" >&2
  return 1
}

# apt_candidate PACKAGE: whether the package lists offer a version of it.
apt_candidate() {
  local candidate
  candidate=$(apt_cmd apt-cache policy "$1" 2>/dev/null | awk '/Candidate:/ {print $2; exit}')
  [ -n "$candidate" ] && [ "$candidate" != "(none)" ]
}

# apt_install PACKAGE...: installs what is missing, refreshing the lists once.
# Stops with a message naming each package that cannot be installed and
# quoting what the registry or apt-get said.
apt_install() {
  local missing=() p
  apt_missing_into missing "$@"
  if ((${#missing[@]} == 0)); then
    echo "$apt_name: all packages present"
    return 0
  fi
  local log=${TMPDIR:-/tmp}/velmora-$apt_name-apt.log
  echo "$apt_name: installing ${missing[*]} (apt-get's output goes to $log)"
  if ! apt_update; then
    local unavailable=()
    for p in "${missing[@]}"; do
      apt_candidate "$p" || unavailable+=("$p")
    done
    if ((${#unavailable[@]})); then
      echo "$apt_name: cannot install ${unavailable[*]}: the package lists offer no version of it," \
        "and refreshing them failed:" >&2
      sed 's/^/  /' <<<"$apt_update_errors" >&2
      exit 1
    fi
  fi
  if ! apt_cmd apt-get install -y -q --no-install-recommends "${missing[@]}" >"$log" 2>&1; then
    echo "$apt_name: installing ${missing[*]} failed; apt-get said:" >&2
    { grep -E '^(E:|W:| [^ ].* : Depends:|Err:)' "$log" || tail -15 "$log"; } | sed 's/^/  /' >&2
    exit 1
  fi
  apt_missing_into missing "${missing[@]}"
  if ((${#missing[@]})); then
    echo "$apt_name: apt-get ended without installing ${missing[*]}" >&2
    exit 1
  fi
}

# kernel_runs_i386: whether this kernel runs 32-bit x86 programs. A 96-byte
# static i386 program that only exits with status 42 tells; anything else
# (no 32-bit support, "32-bit emulation disabled") means no. Its machine field
# says EM_486, which the kernel takes as i386 but qemu's binfmt_misc entries
# (scripts/wine32-root registers one) do not match: an emulator that is
# registered cannot answer for the kernel.
kernel_runs_i386() {
  local probe status=0
  probe=$(mktemp "${TMPDIR:-/tmp}/velmora-i386-probe.XXXXXX")
  printf '\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x06\x00\x01\x00\x00\x00\x54\x80\x04\x08\x34\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x34\x00\x20\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01\x00\x00\x00\x00\x00\x00\x00\x00\x80\x04\x08\x00\x80\x04\x08\x60\x00\x00\x00\x60\x00\x00\x00\x05\x00\x00\x00\x00\x10\x00\x00\xb8\x01\x00\x00\x00\xbb\x2a\x00\x00\x00\xcd\x80' >"$probe"
  chmod +x "$probe"
  "$probe" 2>/dev/null || status=$?
  rm -f "$probe"
  ((status == 42))
}
