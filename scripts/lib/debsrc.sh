# Shared by the setup scripts (sourced, not run): Debian source packages fetched
# through a private apt configuration, the project's own patches to them, and
# the cache of built dependencies outside the clone.
#
# Needs REPO set to the repository root. Everything it writes lives below
# tw_cache_root, so clones, work trees and CI runs on one machine share it.

# Installs the Debian packages of the list that dpkg does not report as fully installed (with
# an apt-get update first), so that a re-run costs one dpkg-query per package. The first
# argument names the caller in the message.
tw_install_missing() {
  local who="$1" p
  shift
  local missing=()
  for p in "$@"; do
    if ! dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null | grep -qx installed; then
      missing+=("$p")
    fi
  done
  ((${#missing[@]})) || return 0
  echo "$who: installing ${missing[*]}"
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
}

# Where built dependencies and fetched sources are kept, keyed by version.
tw_cache_root() {
  echo "${TW_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/tarnwick}"
}

# The folder of our patches to libssh2, applied in name order.
TW_LIBSSH2_PATCHES="$REPO/deps/patches/libssh2"

# A short digest of the patch set (names and contents), so that a build is
# redone exactly when a patch is added, removed or changed.
tw_patch_key() {
  local dir="$1"
  (cd "$dir" && for p in *.patch; do [[ -e "$p" ]] && { echo "$p"; cat "$p"; }; done) |
    sha256sum | cut -c1-12
}

# Sets APTO, the apt options of the private configuration, and refreshes its
# package lists once per process. The mirror is the first Debian archive named
# in the machine's own sources; the machine's apt state is left alone.
tw_mirror() {
  local mirror
  mirror="$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources 2>/dev/null |
    sed -e 's/#.*//' | grep -oE '(https?|file)://[^[:space:]]*/debian/?([[:space:]]|$)' | head -n1 | tr -d '[:space:]' || true)"
  if [[ -z "$mirror" ]]; then
    echo "setup: no Debian mirror found in /etc/apt/sources.list*" >&2
    return 1
  fi
  echo "$mirror"
}

tw_apt_setup() {
  [[ -n "${APTO+x}" ]] && return 0
  local mirror W
  mirror="$(tw_mirror)" || return 1
  W="$(tw_cache_root)/apt"
  mkdir -p "$W/etc" "$W/lists/partial" "$W/cache/archives/partial"
  echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror trixie main" >"$W/etc/sources.list"
  APTO=(-o "Dir::Etc::SourceList=$W/etc/sources.list" -o Dir::Etc::SourceParts=/dev/null
        -o "Dir::State::Lists=$W/lists" -o "Dir::Cache=$W/cache" -o APT::Sandbox::User=root)
  apt-get "${APTO[@]}" -q update >/dev/null
}

# The revisions of a source package whose version starts with a prefix, newest
# first (revisions can vanish after a point release, so none is hard-coded).
tw_source_revisions() {
  local pkg="$1" prefix="$2"
  tw_apt_setup
  apt-cache "${APTO[@]}" showsrc "$pkg" | sed -n 's/^Version: //p' | sort -u |
    while read -r v; do if [[ "$v" == "$prefix"* ]]; then echo "$v"; fi; done |
    sort -r -V
}

# Unpacks a source package (with Debian's own patches) into the cache, once per
# revision, and prints its folder. A listed revision whose files are missing
# from the mirror is skipped for the next one.
tw_fetch_source() {
  local pkg="$1" prefix="$2" rev dest
  tw_apt_setup
  for rev in $(tw_source_revisions "$pkg" "$prefix"); do
    dest="$(tw_cache_root)/src/${pkg}_$rev"
    if [[ -f "$dest/.tw-unpacked" ]]; then
      echo "$dest/tree"
      return 0
    fi
    rm -rf "$dest" && mkdir -p "$dest"
    if (cd "$dest" && apt-get "${APTO[@]}" -q source "$pkg=$rev" >&2); then
      mv "$(find "$dest" -mindepth 1 -maxdepth 1 -type d -name "$pkg-*" | head -n1)" "$dest/tree"
      echo "$rev" >"$dest/.tw-unpacked"
      echo "$dest/tree"
      return 0
    fi
    echo "setup: $pkg $rev could not be fetched, trying an older revision" >&2
  done
  echo "setup: no $pkg $prefix* source package found in trixie" >&2
  return 1
}

# Applies every patch of a folder, in name order, to a source tree. A patch
# that the source already contains (it applies in reverse) is skipped with a
# message; one that applies neither way stops the setup. The names of the
# patches carried are written to <tree>/.tw-patches.
tw_apply_patches() {
  local tree="$1" dir="$2" p name
  : >"$tree/.tw-patches"
  for p in "$dir"/*.patch; do
    [[ -e "$p" ]] || continue
    name="$(basename "$p")"
    if patch -d "$tree" -p1 -N -f -s --dry-run <"$p" >/dev/null 2>&1; then
      patch -d "$tree" -p1 -N -f -s <"$p" >/dev/null
      echo "setup: applied $name" >&2
      echo "$name" >>"$tree/.tw-patches"
    elif patch -d "$tree" -p1 -R -f -s --dry-run <"$p" >/dev/null 2>&1; then
      echo "setup: skipped $name: the source already contains it" >&2
    else
      echo "setup: $name applies neither forward nor in reverse to $tree;" \
        "update the patch for this source" >&2
      return 1
    fi
  done
}

# Prints the folder of a clean Debian 12 root file system (debootstrap, minbase) with a C
# compiler and pkg-config, made once and kept in the cache, keyed on its package list. The
# packages tests install into it are installed into a copy (an overlay), never into this one.
tw_debian12_root() {
  local pkgs="gcc,libc6-dev,pkg-config,libssl3,zlib1g,libedit2"
  local root
  root="$(tw_cache_root)/debian12-root-$(echo "$pkgs" | sha256sum | cut -c1-12)"
  if [[ ! -f "$root/.tw-complete" ]]; then
    tw_install_missing debian12-root debootstrap >&2
    rm -rf "$root" "$root.tmp"
    debootstrap --variant=minbase --include="$pkgs" bookworm "$root.tmp" "$(tw_mirror)" >&2
    touch "$root.tmp/.tw-complete"
    mv "$root.tmp" "$root"
  fi
  echo "$root"
}
