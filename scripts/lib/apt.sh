# Package installation for the set-up (sourced, not run).
#
# The set-up takes CPython 3.14 and BLAKE3 from Debian's unstable suite, which
# moves the C library and others to that suite's versions. From then on a
# package from Debian 12 that pins those libraries to their old versions can no
# longer be installed, so tools and development packages that link against
# them come from the unstable suite too (apt_install_sid). apt waits for a lock
# held by another process instead of failing at once.
#
# "Installed" is not "the version needed": a new machine already carries
# Debian 12's python3-pip-whl, whose pip cannot run on CPython 3.14. So a
# package from the unstable suite counts as present only at that suite's
# version, and the set-up checks what it needs of the tools themselves.

apt_get() {
  DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=900 -o Acquire::Retries=3 "$@"
}

# The named packages that are not installed, one per line.
apt_missing() {
  local package
  for package in "$@"; do
    dpkg-query -W -f='${db:Status-Status}\n' "$package" 2>/dev/null | grep -qx installed || echo "$package"
  done
}

# The named packages whose installed version is not the unstable suite's
# candidate (missing ones included), one per line. The suite is pinned low, so
# only `-t sid` makes its version the candidate.
apt_behind_sid() {
  LC_ALL=C apt-cache policy -t sid "$@" 2>/dev/null | awk -v wanted="$*" '
    /^[^ ].*:$/ { name = substr($0, 1, length($0) - 1) }
    $1 == "Installed:" { installed[name] = $2 }
    $1 == "Candidate:" { if ($2 == "(none)" || installed[name] != $2) print name; known[name] = 1 }
    END { n = split(wanted, all, " "); for (i = 1; i <= n; i++) if (!(all[i] in known)) print all[i] }'
}

# apt_need_root WHAT: exits unless root, saying what needed it.
apt_need_root() {
  [ "$(id -u)" -eq 0 ] || { echo "$(basename "$0"): run as root to $*" >&2; exit 1; }
}

# The Debian mirror this machine's apt uses.
apt_mirror() {
  local uri
  uri=$(awk '$1=="URIs:"{print $2; exit}' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  [ -n "$uri" ] || uri=$(awk '$1=="deb"{print $2; exit}' /etc/apt/sources.list)
  echo "$uri"
}

# The unstable suite as an apt source, pinned low so that nothing else is taken
# from it unless asked for. Its mirror copy carries an expired date.
apt_add_sid() {
  [ -f /etc/apt/sources.list.d/sid.sources ] && return
  apt_need_root "install the unstable suite's packages"
  echo "$(basename "$0"): adding Debian unstable (pinned at 50) to apt: the packages it installs move this" \
    "machine's C library, OpenSSL and other base libraries to that suite; meant for a disposable machine or container" >&2
  local uri
  uri=$(apt_mirror)
  printf 'Types: deb\nURIs: %s\nSuites: sid\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\nCheck-Valid-Until: no\n' \
    "$uri" > /etc/apt/sources.list.d/sid.sources
  printf 'Package: *\nPin: release n=sid\nPin-Priority: 50\n' > /etc/apt/preferences.d/sid
  apt_get update -qq
}

# Installs what is missing of the named packages from Debian 12; quiet and
# quick when all are there.
apt_install() {
  local missing
  missing=$(apt_missing "$@")
  [ -n "$missing" ] || return 0
  apt_need_root install $missing
  echo "$(basename "$0"): installing $(echo $missing)" >&2
  # A first try with the lists at hand; stale or missing lists are fetched anew.
  # shellcheck disable=SC2086
  apt_get install -y -qq $missing >/dev/null 2>&1 || { apt_get update -qq; apt_get install -y -qq $missing >/dev/null; }
}

# Brings the named packages to the unstable suite's version, whether they are
# missing or installed at another (Debian 12's) version. --force-overwrite
# settles files that moved between packages there; a first failure is usually
# a half-finished upgrade that `-f` completes.
apt_install_sid() {
  local behind
  [ -f /etc/apt/sources.list.d/sid.sources ] || apt_add_sid
  behind=$(apt_behind_sid "$@" | sort -u)
  [ -n "$behind" ] || return 0
  apt_need_root install $behind
  echo "$(basename "$0"): installing $(echo $behind) from Debian unstable" >&2
  local -a overwrite=(-o Dpkg::Options::=--force-overwrite)
  # shellcheck disable=SC2086
  apt_get install -y -qq "${overwrite[@]}" -t sid $behind >/dev/null 2>&1 \
    || { apt_get update -qq; apt_get install -y -qq "${overwrite[@]}" -f -t sid >/dev/null;
         apt_get install -y -qq "${overwrite[@]}" -t sid $behind >/dev/null; }
  behind=$(apt_behind_sid "$@" | sort -u)
  [ -z "$behind" ] || { echo "$(basename "$0"): still not at the unstable suite's version: $(echo $behind)" >&2; exit 1; }
}
