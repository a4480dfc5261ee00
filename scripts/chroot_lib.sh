# Shared by the scripts that build or test inside a Debian chroot kept under
# /var/cache/orrery: making and refreshing the chroot (also for another
# processor, run through qemu-user), the mounts, pip's configuration, and a
# clean copy of the checkout. Sourced; the sourcing script sets chroot_dir,
# staging, marker, max_age_days, suite, arch (empty: this machine's), packages
# (and bootstrap_packages, what debootstrap installs itself), etc, root,
# log_dir and script_name.

say() { echo "$script_name: $*" >&2; }
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

# Takes the chroot's lock, clears mounts a killed earlier run may have left in
# this namespace, then runs the calling script again in a private mount
# namespace (with ORRERY_CHROOT_INNER=1). Returns only in that inner run.
enter_private_namespace() {
  [ "${ORRERY_CHROOT_INNER:-}" = 1 ] && return 0
  local self="$1"
  shift
  [ "$(id -u)" = 0 ] || die "needs root (debootstrap, chroot and mounts)"
  mkdir -p "$(dirname "$chroot_dir")" || exit 1
  exec 9>"$chroot_dir.lock"
  if ! flock -n 9; then
    say "waiting for another run using $chroot_dir"
    flock 9
  fi
  unmount_below "$chroot_dir" "$staging"
  if unshare --mount --propagation private true 2>/dev/null; then
    exec unshare --mount --propagation private env ORRERY_CHROOT_INNER=1 "$BASH" "$self" "$@"
  fi
  say "no private mount namespace here; mounts are undone on exit instead"
  exec env ORRERY_CHROOT_INNER=1 "$BASH" "$self" "$@"
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
  chroot "$chroot_dir" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb ${QEMU_CPU:+QEMU_CPU="$QEMU_CPU"} \
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

# Installs Debian packages on this machine when a command is missing.
host_install() {
  local command="$1" log="$log_dir/host-install.log"
  shift
  command -v "$command" >/dev/null 2>&1 && return 0
  say "installing $*"
  # Scripts making chroots side by side take turns, and wait for apt runs of
  # others.
  mkdir -p "$(dirname "$chroot_dir")" &&
    { flock 8 && apt-get -o DPkg::Lock::Timeout=600 update -q &&
      DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -q -y "$@"; } \
      8>"$(dirname "$chroot_dir")/host-install.lock" >>"$log" 2>&1 || { tail -n 20 "$log" >&2; return 1; }
}

# A chroot for another processor runs its programs through qemu-user, which
# the kernel starts by itself once binfmt_misc knows the format.
setup_emulation() {
  [ -z "$arch" ] || [ "$arch" = "$(dpkg --print-architecture)" ] && return 0
  local qemu_arch="${arch/arm64/aarch64}"
  host_install update-binfmts binfmt-support qemu-user-static &&
    host_install "qemu-$qemu_arch-static" qemu-user-static || return 1
  if [ ! -e /proc/sys/fs/binfmt_misc/status ]; then
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc ||
      { say "cannot mount binfmt_misc"; return 1; }
  fi
  [ -e "/proc/sys/fs/binfmt_misc/qemu-$qemu_arch" ] || update-binfmts --enable "qemu-$qemu_arch" ||
    { say "cannot register qemu-$qemu_arch with binfmt_misc"; return 1; }
}

create_chroot() {
  local mirror include
  unmount_below "$staging"
  rm -rf --one-file-system "$staging" "$chroot_dir" || return 1
  host_install debootstrap debootstrap && setup_emulation || return 1
  mirror="$(find_mirror)"
  include="$(IFS=,; echo "${bootstrap_packages[*]}")"
  say "creating $chroot_dir ($suite${arch:+ $arch}) from $mirror"
  debootstrap ${arch:+--arch="$arch"} --variant=minbase ${include:+--include="$include"} "$suite" "$staging" "$mirror" \
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
  setup_emulation && mount_system && copy_network_config || return 1
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
