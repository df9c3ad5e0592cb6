#!/usr/bin/env bash
# Builds the libraries the Windows programs link statically (minizip, libb2, libcurl with
# Schannel, FLTK with its bundled image libraries, GoogleTest) from Debian's own source
# packages, cross-compiled with mingw-w64. zlib comes prebuilt (libz-mingw-w64-dev).
#
#   scripts/windows-deps.sh ARCH [--no-tests]
#                                    ARCH is x86_64 or i686; prints the install prefixes, one a
#                                    line (the last one is zlib's, the compiler's own root);
#                                    --no-tests leaves GoogleTest out
#
# Everything lives in a cache outside the source tree, by default
# ${XDG_CACHE_HOME:-$HOME/.cache}/qmh-windows-deps, or the directory named by QMH_WINDOWS_DEPS:
#   apt/                 a private apt configuration: deb-src entries derived from this
#                        machine's own apt sources (the system's configuration is not touched)
#   src/                 the downloaded source packages
#   ARCH/NAME-VERSION-KEY/  one install prefix per library; KEY is a digest of its recipe below,
#                        the compiler's version and the toolchain file, so a second run with the
#                        same versions builds nothing
# The package lists are refreshed once a day (QMH_WINDOWS_DEPS_REFRESH=1 forces it): a new
# Debian revision of a source package, such as a security fix, is then built once.
# Progress goes to standard error; build logs to ARCH/NAME-VERSION-KEY.log.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

arch=${1:-}
case "$arch" in
  x86_64 | i686) ;;
  *) echo "usage: scripts/windows-deps.sh x86_64|i686 [--no-tests]" >&2; exit 2 ;;
esac
withTests=1
[ "${2:-}" = --no-tests ] && withTests=0
triple=$arch-w64-mingw32
cache=${QMH_WINDOWS_DEPS:-${XDG_CACHE_HOME:-$HOME/.cache}/qmh-windows-deps}
jobs=${QMH_JOBS:-$(nproc)}
toolchain=$repo/cmake/Windows-$arch.cmake
mkdir -p "$cache/apt/lists/partial" "$cache/apt/archives/partial" "$cache/src" "$cache/$arch"

say() { echo "windows-deps: $*" >&2; }

apt_private=(-o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$cache/apt/sources.list.d"
  -o Dir::State::Lists="$cache/apt/lists" -o Dir::Cache="$cache/apt" -o Debug::NoLocking=1
  -o APT::Sandbox::User=root)

# The deb-src entries: every "deb" entry of this machine for its own release (suites named
# after its codename) as "deb-src", and the same archive's trixie suite, whose upstream FLTK
# 1.3.11 tarball is the one built here (bookworm's FLTK tarballs are not served).
write_sources() {
  mkdir -p "$cache/apt/sources.list.d"
  python3 "$repo/scripts/windows-sources.py" trixie >"$cache/apt/sources.list.d/qmh.sources.new"
  mv "$cache/apt/sources.list.d/qmh.sources.new" "$cache/apt/sources.list.d/qmh.sources"
}

refresh_lists() {
  local stamp=$cache/apt/lists/.updated
  write_sources
  if [ "${QMH_WINDOWS_DEPS_REFRESH:-0}" = 1 ] || [ -z "$(find "$stamp" -mmin -1440 2>/dev/null)" ]; then
    say "reading the source package lists"
    apt-get "${apt_private[@]}" update -qq >&2
    touch "$stamp"
  fi
}

# source_version PACKAGE SUITE: the version apt-get source would fetch.
source_version() {
  apt-get "${apt_private[@]}" source --print-uris "$1/$2" 2>/dev/null |
    sed -n "s/^Selected version '\([^']*\)'.*/\1/p"
}

# fetch_source PACKAGE SUITE VERSION NEEDED...: downloads the source package into src/ and
# checks that the NEEDED files (glob patterns) arrived; names the missing ones otherwise. A
# Debian tarball that is not served is fine when the upstream tarball is all the build needs.
fetch_source() {
  local pkg=$1 suite=$2 version=$3 dir
  shift 3
  dir=$cache/src/${pkg}_$version
  if [ ! -e "$dir/.complete" ]; then
    say "downloading source package $pkg $version ($suite)"
    mkdir -p "$dir"
    (cd "$dir" && apt-get "${apt_private[@]}" source --download-only "$pkg/$suite" >/dev/null 2>&1) || true
    local missing=() pattern
    for pattern in "$@"; do
      compgen -G "$dir/$pattern" >/dev/null || missing+=("$pattern")
    done
    if [ ${#missing[@]} -gt 0 ]; then
      say "source package $pkg $version ($suite): missing ${missing[*]} after apt-get source"
      exit 1
    fi
    touch "$dir/.complete"
  fi
  echo "$dir"
}

# unpack SOURCEDIR WORKDIR: the Debian source with its patches applied (dpkg-source), or the
# upstream tarball alone when that is all that arrived.
unpack() {
  local src=$1 work=$2
  rm -rf "$work"
  mkdir -p "$work"
  if compgen -G "$src/*.debian.tar.*" >/dev/null; then
    dpkg-source --no-check -x "$src"/*.dsc "$work/tree" >/dev/null
  else
    tar -xf "$src"/*.orig.tar.* -C "$work"
    mv "$work"/*/ "$work/tree"
  fi
}

cmake_build() { # cmake_build TREE PREFIX ARGS...
  local tree=$1 prefix=$2
  shift 2
  cmake -S "$tree" -B "$tree/_build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" -DBUILD_SHARED_LIBS=OFF "$@"
  cmake --build "$tree/_build" -j "$jobs"
  cmake --install "$tree/_build"
}

cc=$triple-gcc-posix
cross_ar=$triple-ar

# Each recipe runs in the unpacked tree and installs into $1.
recipe_minizip() { # the library sources of its Makefile.am, iowin32.c included
  local prefix=$1 f
  mkdir -p "$prefix/lib/pkgconfig" "$prefix/include/minizip"
  for f in ioapi mztools unzip zip iowin32; do $cc -O2 -c "$f.c" -o "$f.o"; done
  $cross_ar rcs "$prefix/lib/libminizip.a" ioapi.o mztools.o unzip.o zip.o iowin32.o
  cp crypt.h ioapi.h mztools.h unzip.h zip.h iowin32.h "$prefix/include/minizip/"
  printf '%s\n' "prefix=$prefix" "Name: minizip" "Description: Minizip zip file manipulation library" \
    "Version: 1.1" "Libs: -L\${prefix}/lib -lminizip" "Libs.private: -lz" \
    "Cflags: -I\${prefix}/include -I\${prefix}/include/minizip" >"$prefix/lib/pkgconfig/minizip.pc"
}

recipe_libb2() { # the portable C sources its configure picks without SSSE3, at its -O3
  local prefix=$1 f
  mkdir -p "$prefix/lib" "$prefix/include"
  # What its configure finds for both Windows targets: little-endian x86, SecureZeroMemory.
  echo '#define NATIVE_LITTLE_ENDIAN 1' >src/config.h
  for f in blake2s-ref blake2b-ref blake2sp blake2bp; do $cc -O3 -DSUFFIX= -c "src/$f.c" -o "$f.o"; done
  $cross_ar rcs "$prefix/lib/libb2.a" blake2s-ref.o blake2b-ref.o blake2sp.o blake2bp.o
  cp src/blake2.h "$prefix/include/"
}

recipe_curl() { # HTTP(S) only, Schannel, no compression or other protocols
  cmake_build . "$1" -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DHTTP_ONLY=ON \
    -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF -DENABLE_MANUAL=OFF -DCURL_ZLIB=OFF \
    -DCURL_USE_LIBSSH2=OFF -DUSE_LIBIDN2=OFF -DCURL_DISABLE_LDAP=ON -DENABLE_UNIX_SOCKETS=OFF \
    -DPICKY_COMPILER=OFF
}

recipe_fltk() { # bundled zlib (its symbols prefixed), png and jpeg; no OpenGL, tests or fluid
  cmake_build . "$1" -DOPTION_USE_SYSTEM_ZLIB=OFF -DOPTION_USE_SYSTEM_LIBPNG=OFF \
    -DOPTION_USE_SYSTEM_LIBJPEG=OFF -DOPTION_USE_GL=OFF -DFLTK_BUILD_TEST=OFF \
    -DOPTION_BUILD_HTML_DOCUMENTATION=OFF -DOPTION_BUILD_PDF_DOCUMENTATION=OFF -DFLTK_BUILD_FLUID=OFF
}

recipe_googletest() {
  cmake_build . "$1" -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON
}

# build NAME LIBRARY PACKAGE SUITE NEEDED...: ensures the install prefix of one library, which
# must hold lib/libLIBRARY.a when built; prints the prefix.
build() {
  local name=$1 library=$2 pkg=$3 suite=$4 version src key prefix work status
  shift 4
  version=$(source_version "$pkg" "$suite")
  if [ -z "$version" ]; then
    say "no source package $pkg in $suite (see $cache/apt/sources.list.d/qmh.sources)"
    exit 1
  fi
  key=$({ declare -f "recipe_$name" cmake_build; $cc --version | head -1
    cat "$repo/cmake/WindowsToolchain.cmake"; } | sha256sum | cut -c1-12)
  prefix=$cache/$arch/$name-$version-$key
  if [ ! -e "$prefix/.complete" ]; then
    src=$(fetch_source "$pkg" "$suite" "$version" "$@")
    work=$cache/$arch/work-$name
    say "building $name $version for $triple (log: $prefix.log)"
    local started=$SECONDS
    rm -rf "$prefix"
    unpack "$src" "$work"
    # Not in a condition, where bash would ignore errexit inside the recipe.
    set +e
    (set -e && cd "$work/tree" && "recipe_$name" "$prefix") >"$prefix.log" 2>&1
    status=$?
    set -e
    if [ $status != 0 ] || [ ! -e "$prefix/lib/lib$library.a" ]; then
      tail -20 "$prefix.log" >&2
      say "building $name failed; the whole log is $prefix.log"
      exit 1
    fi
    rm -rf "$work"
    touch "$prefix/.complete"
    say "built $name in $((SECONDS - started)) s"
  fi
  echo "$prefix"
}

refresh_lists
release=$(. /etc/os-release && echo "$VERSION_CODENAME")
build libb2 b2 libb2 "$release" '*.dsc' '*.orig.tar.*' '*.debian.tar.*'
build minizip minizip minizip "$release" '*.dsc' '*.orig.tar.*' '*.debian.tar.*'
[ $withTests = 1 ] && build googletest gtest googletest "$release" '*.dsc' '*.orig.tar.*' '*.debian.tar.*'
build curl curl curl "$release" '*.dsc' '*.orig.tar.*' '*.debian.tar.*'
build fltk fltk fltk1.3 trixie 'fltk1.3_*.orig.tar.*'
echo "/usr/$triple"
