#!/usr/bin/env bash
# Build, install and test the module on the newest CPython releases, as Debian
# unstable packages them (python3.14 and python3.15), each in a fresh virtual
# environment inside a Debian unstable chroot, with warnings as errors.
#
# Usage: scripts/check_sid.sh [3.X ...]   (default: 3.14 3.15; needs root)
#        scripts/check_sid.sh --print-mirror | --print-bind-paths
#          (print the Debian mirror, or the local paths pip's configuration
#          names, that a run would use, and exit)
#
# The chroot is made with debootstrap from the Debian mirror that apt already
# uses on this machine (ORRERY_SID_MIRROR overrides it) and kept outside the
# checkout, in ORRERY_SID_CHROOT (default /var/cache/orrery/sid-chroot), for
# the next run. A chroot is only put in place once debootstrap completed, so an
# interrupted run leaves nothing half-made behind; a missing package is
# installed into it, and one older than ORRERY_SID_MAX_AGE_DAYS (default 7) is
# upgraded first. Runs that share the chroot wait for each other.
#
# The machine's resolver configuration and CA bundle, its pip configuration
# files (system-wide and the user's) and the PIP_* variables go in too, and
# every local folder or file they name (find-links, file:// indexes,
# constraints, certificates) is bind-mounted read-only at the same path, so pip
# inside reaches the same package index. All mounts are made in a private
# mount namespace, so they vanish when the script ends, however it ends.
#
# Each version gets a clean copy of the checkout (the files git tracks, as they
# are in the working tree, plus new files git does not ignore), then
# `pip install ".[test]" && python -m pytest`. Prints one line per version and
# the minutes taken, and exits non-zero if anything failed. Logs are kept as
# scripts/check_versions.sh keeps them (ORRERY_LOG_DIR).
set -uo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
etc="${ORRERY_SID_ETC:-/etc}"  # where apt's sources and the system pip files are read
print_only=
case "${1:-}" in --print-mirror|--print-bind-paths) print_only="$1"; shift ;; esac
self="$root/scripts/$(basename "$0")"
chroot_dir="$(realpath -m "${ORRERY_SID_CHROOT:-/var/cache/orrery/sid-chroot}")"
staging="$chroot_dir.partial"
marker="$chroot_dir/.orrery-ready"
max_age_days="${ORRERY_SID_MAX_AGE_DAYS:-7}"
versions=("$@")
[ ${#versions[@]} -gt 0 ] || versions=(3.14 3.15)
# strace: the tests that count write(2) calls skip without it.
packages=(ca-certificates g++ cmake make strace)
for v in "${versions[@]}"; do packages+=("python$v-dev" "python$v-venv"); done

say() { echo "check_sid: $*" >&2; }
die() { say "$*"; exit 1; }

# Unmounts every mount point at or below the given directories, deepest first.
unmount_below() {
  local dir mnt
  for dir in "$@"; do
    awk -v d="$dir" '{ p = $5; gsub(/\\040/, " ", p); if (p == d || index(p, d "/") == 1) print p }' \
      /proc/self/mountinfo | sort -r | while IFS= read -r mnt; do
      umount -l "$mnt" 2>/dev/null || say "could not unmount $mnt"
    done
  done
}

# ------------------------------------------------------------ outer phase
# Take the lock, clear mounts a killed earlier run may have left in this
# namespace, then start over in a private mount namespace.
if [ -z "$print_only" ] && [ "${ORRERY_SID_INNER:-}" != 1 ]; then
  [ "$(id -u)" = 0 ] || die "needs root (debootstrap, chroot and mounts)"
  mkdir -p "$(dirname "$chroot_dir")" || exit 1
  exec 9>"$chroot_dir.lock"
  if ! flock -n 9; then
    say "waiting for another run using $chroot_dir"
    flock 9
  fi
  unmount_below "$chroot_dir" "$staging"
  if unshare --mount --propagation private true 2>/dev/null; then
    exec unshare --mount --propagation private env ORRERY_SID_INNER=1 "$BASH" "$self" "$@"
  fi
  say "no private mount namespace here; mounts are undone on exit instead"
  exec env ORRERY_SID_INNER=1 "$BASH" "$self" "$@"
fi

# ------------------------------------------------------------ inner phase
start=$SECONDS
work_dirs=()
cleanup() {
  local d
  for d in "${work_dirs[@]}"; do rm -rf --one-file-system "$chroot_dir$d"; done
  unmount_below "$chroot_dir" "$staging"
}

# The Debian archive apt uses here: the first enabled "deb" source of the
# host's own release (or a stable/testing/unstable suite) that is not the
# security archive, from one-line .list files and deb822 .sources files.
apt_sources() {
  local f
  for f in "$etc"/apt/sources.list "$etc"/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    sed -n 's/^[[:space:]]*deb[[:space:]]\+\(\[[^]]*\][[:space:]]\+\)\?\([^[:space:]]\+\)[[:space:]]\+\([^[:space:]]\+\).*/\2 \3/p' "$f"
  done
  for f in "$etc"/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk 'function flush(  n, m, i, j, u, s) {
           if (types ~ /(^| )deb( |$)/ && enabled != "no") {
             n = split(uris, u, " "); m = split(suites, s, " ")
             for (i = 1; i <= n; i++) for (j = 1; j <= m; j++) print u[i], s[j]
           }
           types = uris = suites = enabled = ""
         }
         /^[[:space:]]*#/ { next }
         /^[[:space:]]*$/ { flush(); next }
         { key = tolower($1); $1 = ""; sub(/^ +/, "") }
         key == "types:" { types = $0 } key == "uris:" { uris = $0 }
         key == "suites:" { suites = $0 } key == "enabled:" { enabled = tolower($0) }
         END { flush() }' "$f"
  done
}

find_mirror() {
  if [ -n "${ORRERY_SID_MIRROR:-}" ]; then echo "$ORRERY_SID_MIRROR"; return; fi
  local codename mirror
  codename="$(. "$etc"/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")"
  mirror="$(apt_sources | awk -v c="${codename:-none}" '
    { suite = $2; sub(/-(updates|backports)$/, "", suite) }
    $2 !~ /security/ && (suite == c || suite ~ /^(oldstable|stable|testing|unstable|sid)$/) { print $1; exit }')"
  if [ -z "$mirror" ]; then
    mirror=http://deb.debian.org/debian
    say "no Debian archive among apt's sources; using $mirror"
  fi
  echo "$mirror"
}

mount_system() {
  mount -t proc proc "$chroot_dir/proc" &&
    mount --rbind /dev "$chroot_dir/dev" &&
    mount --make-rslave "$chroot_dir/dev"
}

# Runs a command in the chroot with a clean environment plus the given
# variables.
in_chroot() {
  chroot "$chroot_dir" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
    PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin "$@"
}

copy_network_config() {
  local f
  for f in /etc/resolv.conf /etc/hosts; do
    [ -e "$f" ] || continue
    rm -f "$chroot_dir$f" && cp -L "$f" "$chroot_dir$f" || return 1
  done
}

# Release files are checked against their signature but not their expiry
# date, as debootstrap checks them: otherwise a mirror that lags this
# machine's clock by a few weeks could make a chroot that apt cannot update.
apt_in_chroot() {
  in_chroot DEBIAN_FRONTEND=noninteractive apt-get -q -y -o Acquire::Check-Valid-Until=false \
    -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold "$@"
}

missing_packages() {
  local p
  for p in "${packages[@]}"; do
    in_chroot dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || echo "$p"
  done
}

create_chroot() {
  local mirror include
  unmount_below "$staging"
  rm -rf --one-file-system "$staging" "$chroot_dir" || return 1
  if ! command -v debootstrap >/dev/null 2>&1; then
    say "installing debootstrap"
    { apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -q -y debootstrap; } \
      >"$log_dir/debootstrap-install.log" 2>&1 || { tail -n 20 "$log_dir/debootstrap-install.log" >&2; return 1; }
  fi
  mirror="$(find_mirror)"
  include="$(IFS=,; echo "${packages[*]}")"
  say "creating $chroot_dir from $mirror"
  debootstrap --variant=minbase --include="$include" sid "$staging" "$mirror" \
    >"$log_dir/debootstrap.log" 2>&1 || { tail -n 20 "$log_dir/debootstrap.log" >&2; return 1; }
  unmount_below "$staging"
  mv "$staging" "$chroot_dir" && touch "$marker"
}

# Brings an existing chroot up to date: upgrades it when it is older than
# max_age_days, then installs whatever package is missing.
refresh_chroot() {
  local missing log="$log_dir/apt.log"
  if [ -n "$(find "$marker" -mtime "+$((max_age_days - 1))" 2>/dev/null)" ]; then
    say "upgrading $chroot_dir (older than $max_age_days days)"
    { apt_in_chroot update && apt_in_chroot full-upgrade; } >>"$log" 2>&1 || return 1
    touch "$marker"
  fi
  missing="$(missing_packages | tr '\n' ' ')"
  if [ -n "$missing" ]; then
    say "installing into $chroot_dir: $missing"
    # shellcheck disable=SC2086
    { apt_in_chroot update && apt_in_chroot install $missing; } >>"$log" 2>&1 || return 1
  fi
  [ -z "$(missing_packages)" ]
}

chroot_state=reused
prepare_chroot() {
  if [ ! -f "$marker" ]; then
    chroot_state=created
    create_chroot || return 1
  fi
  mount_system && copy_network_config || return 1
  refresh_chroot && return 0
  [ "$chroot_state" = created ] && return 1
  say "updating the chroot failed (see $log_dir/apt.log); making it afresh"
  unmount_below "$chroot_dir"
  chroot_state=recreated
  create_chroot && mount_system && copy_network_config && refresh_chroot
}

# ------------------------------------------------------------ pip configuration
pip_env=()
pip_files=()  # "host path:path in the chroot"
pip_config() {
  local name user_dir="${XDG_CONFIG_HOME:-$HOME/.config}"
  pip_files=("$etc/pip.conf:/etc/pip.conf" "$etc/xdg/pip/pip.conf:/etc/xdg/pip/pip.conf"
             "$user_dir/pip/pip.conf:/root/.config/pip/pip.conf" "$HOME/.pip/pip.conf:/root/.pip/pip.conf")
  [ -n "${PIP_CONFIG_FILE:-}" ] && pip_files+=("$PIP_CONFIG_FILE:$PIP_CONFIG_FILE")
  while IFS= read -r name; do
    pip_env+=("$name=${!name}")
  done < <(compgen -e | grep -E '^(PIP_[A-Z0-9_]+|https?_proxy|HTTPS?_PROXY|no_proxy|NO_PROXY|SSL_CERT_(FILE|DIR)|REQUESTS_CA_BUNDLE)$')
}

# Local paths named in the pip configuration and the passed variables: every
# absolute path that exists here, and for a file:// URL the folder holding it,
# since a local index's pages link to files beside the index (../../files/).
local_paths() {
  local pair
  {
    for pair in "${pip_files[@]}"; do
      [ -f "${pair%%:*}" ] && sed -n 's/^[^#;[]*=//p; s/^[[:space:]]\+\([^#;]\)/\1/p' "${pair%%:*}"
    done
    printf '%s\n' "${pip_env[@]#*=}"
  } | tr ' \t,' '\n\n\n' | sed -n 's|^file://\(/.*[^/]\)/*$|\1/..|; \|^/.|p' | while IFS= read -r p; do
    p="$(realpath -m "$p")"
    if [ "$p" != / ] && [ -e "$p" ]; then echo "$p"; fi
  done | LC_ALL=C sort -u
}

install_pip_config() {
  local pair host inside p ca=/etc/ssl/certs/ca-certificates.crt
  for pair in "${pip_files[@]}"; do
    host="${pair%%:*}" inside="$chroot_dir${pair#*:}"
    rm -f "$inside"
    if [ -f "$host" ]; then
      mkdir -p "$(dirname "$inside")" && cp -L "$host" "$inside" || return 1
    fi
  done
  if [ -f "$ca" ]; then
    mkdir -p "$chroot_dir${ca%/*}" && rm -f "$chroot_dir$ca" && cp -L "$ca" "$chroot_dir$ca" || return 1
  fi
  local bound=/nonexistent
  while IFS= read -r p; do  # sorted, so a folder comes before what it holds
    case "$p" in "$chroot_dir"|"$chroot_dir"/*|"$bound"|"$bound"/*) continue ;; esac
    bound="$p"
    if [ -d "$p" ]; then
      mkdir -p "$chroot_dir$p"
    else
      mkdir -p "$chroot_dir$(dirname "$p")" && touch "$chroot_dir$p"
    fi
    mount --bind "$p" "$chroot_dir$p" && mount -o remount,bind,ro "$chroot_dir$p" || return 1
  done < <(local_paths)
}

# ------------------------------------------------------------ the checkout
copy_checkout() {
  local dest="$1"
  mkdir -p "$dest" || return 1
  if git -C "$root" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    (cd "$root" && git ls-files -z --cached --others --exclude-standard |
       while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
       tar --null -T - -cf -) | tar -xf - -C "$dest"
  else
    tar -C "$root" --exclude=.git --exclude='.venv*' --exclude=build --exclude=__pycache__ -cf - . |
      tar -xf - -C "$dest"
  fi
}

# One version: clean copy, fresh venv, install with the test extra, then the
# suite from the copy's root.
check_one() {
  local version="$1" log="$2" work="/tmp/orrery-check-$1"
  local t0=$SECONDS t1
  work_dirs+=("$work")
  rm -rf --one-file-system "$chroot_dir$work"
  copy_checkout "$chroot_dir$work/src" >"$log" 2>&1 &&
    in_chroot "${pip_env[@]}" CI="${CI:-true}" ORRERY_WERROR=ON /bin/bash -c \
      'cd "$1/src" && "python$2" -m venv "$1/venv" && . "$1/venv/bin/activate" &&
       pip install --no-input --progress-bar off ".[test]"' _ "$work" "$version" >>"$log" 2>&1 ||
    { build_time=$((SECONDS - t0)); test_time=0; summary="build failed"; return 1; }
  t1=$SECONDS
  build_time=$((t1 - t0))
  in_chroot "${pip_env[@]}" CI="${CI:-true}" /bin/bash -c \
    'cd "$1/src" && . "$1/venv/bin/activate" && python -m pytest -q -p no:cacheprovider' _ "$work" >>"$log" 2>&1
  local rc=$?
  test_time=$((SECONDS - t1))
  summary="$(grep -E '^[=]* *[0-9]+ (passed|failed|error)|no tests ran' "$log" | tail -n 1 | tr -d '=' | sed 's/^ *//; s/ *$//')"
  [ -n "$summary" ] || summary="pytest exit $rc"
  return $rc
}

case "$print_only" in
  --print-mirror) find_mirror; exit ;;
  --print-bind-paths) pip_config; local_paths; exit ;;
esac

log_dir="${ORRERY_LOG_DIR:-$(mktemp -d)}"
mkdir -p "$log_dir"
trap cleanup EXIT
trap 'exit 130' INT TERM

prepare_chroot || die "could not prepare the chroot $chroot_dir (logs: $log_dir)"
prepared=$SECONDS
pip_config
install_pip_config || die "could not copy the pip configuration into $chroot_dir"

failed=0
for version in "${versions[@]}"; do
  full="$(in_chroot "python$version" -c 'import platform; print(platform.python_version())' 2>/dev/null)"
  log="$log_dir/${full:-$version}.log"
  if check_one "$version" "$log" </dev/null; then status=ok; else status=FAIL; failed=1; fi
  printf '%-8s %-4s build+install %4ss  tests %4ss  %s\n' "${full:-$version}" "$status" "$build_time" "$test_time" "$summary"
  if [ "$status" = FAIL ]; then
    echo "---- last lines of $log" >&2
    tail -n 40 "$log" | sed 's/^/    /' >&2
    echo "----" >&2
  fi
  rm -rf --one-file-system "$chroot_dir/tmp/orrery-check-$version"
done

elapsed=$((SECONDS - start))
printf 'chroot %s in %ss; total %d.%d minutes\n' "$chroot_state" "$((prepared - start))" \
  $((elapsed / 60)) $((elapsed % 60 * 10 / 60))
if [ "$failed" = 0 ] && [ -z "${ORRERY_LOG_DIR:-}" ]; then
  rm -rf "$log_dir"
else
  echo "logs: $log_dir"
fi
exit "$failed"
