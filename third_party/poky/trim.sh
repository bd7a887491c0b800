#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes the trimmed poky kept here from poky's own release archive: what
# bitbake needs to parse OpenEmbedded-Core with meta-poky's distribution, and
# the scripts its classes and recipes use (yocto-check-layer among them).
# Every file kept is unchanged; the archive is packed reproducibly (names
# sorted, owners 0, the release's own file times, single-threaded xz), so the
# same input gives the same bytes.
#
#   third_party/poky/trim.sh poky-yocto-5.0.15.tar.xz OUT.tar.xz
set -euo pipefail

release=yocto-5.0.15
source_sha256=2f415bafd77bcf62b8265b85ddba73ec6699330a99a99e0f21da97db5d62483e

# What is dropped, and why it is not needed to parse or to check a layer.
# Recipes are all kept, with their patches: the parse sums every local file a
# recipe names, and fails on a missing one.
drop=(
  documentation            # the manuals' sources
  meta-selftest            # layers the build folder does not add
  meta-skeleton
  meta-yocto-bsp
  contrib                  # editor and git hook helpers
  bitbake/doc              # bitbake's manual
  bitbake/contrib
  bitbake/lib/toaster      # the web interface, and its launchers
  bitbake/bin/toaster
  bitbake/bin/toaster-eventreplay
  bitbake/toaster-requirements.txt
  bitbake/lib/bb/tests     # bitbake's own test suites
  bitbake/lib/bs4/tests
  bitbake/lib/layerindexlib/tests
  bitbake/lib/hashserv/tests.py
  meta/lib/oeqa/selftest   # test cases of builds, images and SDKs; core and
  meta/lib/oeqa/runtime    # utils stay, yocto-check-layer runs on them
  meta/lib/oeqa/sdk
  meta/lib/oeqa/sdkext
  meta/lib/oeqa/manual
  meta/lib/oeqa/buildperf
  meta/lib/oeqa/files
  meta/lib/patchtest       # the mailing list's patch checker
  meta/files/screenshot-tests  # reference screens of image tests
)
[ $# -eq 2 ] || { echo "usage: $0 poky-$release.tar.xz OUT.tar.xz" >&2; exit 2; }
in=$1 out=$2
echo "$source_sha256  $in" | sha256sum -c --quiet - ||
    { echo "$0: $in is not poky's $release archive (sha256 $source_sha256)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
tar -xJf "$in" -C "$work"
top=$work/poky-$release
for p in "${drop[@]}"; do
  [ -e "$top/$p" ] || { echo "$0: $p is not in the archive: update the list" >&2; exit 1; }
  rm -rf "${top:?}/$p"
done
# git archive gives every entry the release commit's time; the folders the
# removals touched get it back.
stamp=$(stat -c %Y "$top/LICENSE")
tar -C "$work" --sort=name --owner=0 --group=0 --numeric-owner --format=gnu \
    --mtime="@$stamp" -cf - "poky-$release" | xz -9e -T1 >"$out"
