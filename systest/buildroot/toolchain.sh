#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Debian's armhf cross compiler (crossbuild-essential-armhf), laid out as a
# folder of its own that Buildroot takes as an external toolchain. Installed
# as it is, Buildroot refuses it: its gcc says --with-sysroot=/, its libc
# lies in /usr/arm-linux-gnueabihf with include/ and no usr/include/ (so no
# kernel headers would reach the staging folder), and it searches that
# folder before any --sysroot, so a build would not be isolated from it.
#
# The copy: the drivers and gcc's own folder (gcc finds cc1, its tool folder
# and the C++ headers relative to its own path, so the copy no longer sees
# /usr/arm-linux-gnueabihf), a sysroot as Buildroot expects it (lib/,
# usr/include/) from the cross libc's files with libstdc++'s development
# files moved into it, small wrappers that give that sysroot by default
# (Buildroot's own --sysroot, given later, wins) and report it in -v, and the
# binutils as links to Debian's. Nothing under /usr is changed.
#
#   toolchain.sh DEST      makes DEST unless it is there; prints its key
#   toolchain.sh --key     prints the key only: the versions of the Debian
#                          packages it is made from, and this script's sum
set -euo pipefail

triple=arm-linux-gnueabihf
gcc_major=12
packages=("gcc-$gcc_major-$triple" "g++-$gcc_major-$triple" "cpp-$gcc_major-$triple" "binutils-$triple"
          libc6-armhf-cross libc6-dev-armhf-cross linux-libc-dev-armhf-cross "libgcc-$gcc_major-dev-armhf-cross"
          "libstdc++-$gcc_major-dev-armhf-cross" libstdc++6-armhf-cross libgcc-s1-armhf-cross)

die() { echo "toolchain.sh: $*" >&2; exit 1; }

key() {
    local v
    v=$(dpkg-query -W -f='${Package}=${Version}\n' "${packages[@]}" 2>/dev/null) ||
        die "Debian's armhf cross toolchain is not installed (scripts/setup.sh: crossbuild-essential-armhf)"
    { echo "$v"; sha256sum <"$0"; } | sha256sum | cut -c1-16
}

if [ "${1:-}" = --key ]; then
    key
    exit 0
fi
[ $# -eq 1 ] || die "usage: toolchain.sh DEST | --key"
dest=$1
[ ! -x "$dest/bin/$triple-gcc" ] || exit 0

libdir=/usr/lib/gcc-cross/$triple/$gcc_major
cross=/usr/$triple
if [ ! -d "$libdir" ] || [ ! -d "$cross/lib" ]; then
    die "no $libdir or $cross/lib: install crossbuild-essential-armhf"
fi
tmp=$dest.tmp.$$
rm -rf "$tmp"
trap 'rm -rf "$tmp"' EXIT
sysroot=$tmp/$triple/sysroot
mkdir -p "$tmp/bin" "$tmp/lib/gcc-cross/$triple" "$tmp/$triple/bin" "$tmp/$triple/include" \
         "$sysroot/lib" "$sysroot/usr/lib" "$sysroot/usr/include"

cp -a "$libdir" "$tmp/lib/gcc-cross/$triple/"
cp -a "$cross/include/c++" "$tmp/$triple/include/"
cp -a "$cross/include/." "$sysroot/usr/include/"
rm -rf "$sysroot/usr/include/c++"

# Run-time libraries in lib/, what only the linker reads in usr/lib/.
for f in "$cross"/lib/*; do
    case ${f##*/} in
        *.so.*|ld-linux*) cp -a "$f" "$sysroot/lib/" ;;
        *) cp -a "$f" "$sysroot/usr/lib/" ;;
    esac
done
# Development links into lib/, which Buildroot's staging keeps as they are.
for f in "$sysroot"/usr/lib/*.so; do
    [ -L "$f" ] || continue
    ln -sfn "../../lib/$(readlink "$f")" "$f"
done
# libc.so and friends are linker scripts naming Debian's folder: the same
# files by their place in the sysroot, which the linker puts in front.
for f in "$sysroot"/usr/lib/*.so; do
    [ -L "$f" ] || ! grep -q "$cross/lib/" "$f" || {
        sed -i -e "s#$cross/lib/\(lib[^ ]*\.a\)#/usr/lib/\1#g" -e "s#$cross/lib/#/lib/#g" "$f"
    }
done
# libstdc++ and the other libraries gcc's folder links into the tool folder:
# into the sysroot, so that -lstdc++ finds the shared library there before
# the archive in gcc's folder.
gccdir=$tmp/lib/gcc-cross/$triple/$gcc_major
for f in "$gccdir"/*.so; do
    [ -L "$f" ] || continue
    target=$(readlink "$f")
    rm -f "$f"
    case $target in
        */$triple/lib/*) ln -sfn "../../lib/${target##*/}" "$sysroot/usr/lib/${f##*/}" ;;
    esac
done
for f in libstdc++.a libstdc++fs.a libsupc++.a; do
    [ ! -f "$gccdir/$f" ] || mv "$gccdir/$f" "$sysroot/usr/lib/"
done

# The binutils, where gcc and the external toolchain's users look for them.
for f in "$cross"/bin/*; do
    ln -s "$f" "$tmp/$triple/bin/${f##*/}"
done
for f in "/usr/bin/$triple-"*; do
    name=${f##*/}
    case ${name#"$triple-"} in
        gcc|g++|cpp|c++) ;;
        "gcc-$gcc_major"|"g++-$gcc_major"|"cpp-$gcc_major") cp "$(readlink -f "$f")" "$tmp/bin/$name" ;;
        *) ln -s "$(readlink -f "$f")" "$tmp/bin/$name" ;;
    esac
done

# The drivers: the copy's default sysroot first, so any --sysroot given
# after it wins; -v alone reports that sysroot instead of Debian's "/".
for tool in gcc g++ cpp; do
    cat >"$tmp/bin/$triple-$tool" <<EOF
#!/bin/sh
here=\$(dirname "\$(readlink -f "\$0")")
sysroot=\$(cd "\$here/../$triple/sysroot" && pwd)
if [ "\$*" = -v ]; then
    "\$here/$triple-$tool-$gcc_major" -v 2>&1 | sed "s#--with-sysroot=/ #--with-sysroot=\$sysroot #" >&2
    exit 0
fi
exec "\$here/$triple-$tool-$gcc_major" --sysroot="\$sysroot" "\$@"
EOF
    chmod 755 "$tmp/bin/$triple-$tool"
done
ln -s "$triple-g++" "$tmp/bin/$triple-c++"

# It must compile and link C and C++ from its own files only.
probe=$tmp/probe
mkdir -p "$probe"
printf '#include <stdio.h>\nint main(void) { puts("ok"); return 0; }\n' >"$probe/c.c"
printf '#include <string>\nint main() { std::string s("ok"); return (int)s.size() - 2; }\n' >"$probe/cxx.cpp"
"$tmp/bin/$triple-gcc" -o "$probe/c" "$probe/c.c" -Wl,--trace >"$probe/c.trace" ||
    die "the relocated gcc does not link a C program"
"$tmp/bin/$triple-g++" -o "$probe/cxx" "$probe/cxx.cpp" -Wl,--trace >"$probe/cxx.trace" ||
    die "the relocated g++ does not link a C++ program"
if grep -h "$cross/" "$probe/c.trace" "$probe/cxx.trace" >&2; then
    die "the relocated compiler still reads $cross"
fi
rm -rf "$probe"
trap - EXIT
rm -rf "$dest"
mv "$tmp" "$dest"
echo "toolchain.sh: $dest made from Debian's $triple-gcc-$gcc_major ($(du -sh "$dest" | cut -f1))"
