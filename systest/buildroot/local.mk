# SPDX-License-Identifier: MIT
# This machine's arrangement of the test board's packages
# (BR2_PACKAGE_OVERRIDE_FILE). The sources that are not Buildroot's own
# tarballs, as sources.sh unpacked them from Debian's source packages and
# third_party/buildroot:
include $(ORVANE_BR_SOURCES)/overrides.mk

# Those sources are built as released, without Buildroot's patches, so
# nothing calls for autoreconf, which would bring Buildroot's autotools and,
# for e2fsprogs, gettext-tiny and autoconf-archive, of which Debian has no
# source. (These lines come before the packages' own: hence override.)
override E2FSPROGS_AUTORECONF = NO
override E2FSPROGS_FINAL_DEPENDENCIES = \
	$(sort $(filter-out host-gettext host-autoconf-archive,$(E2FSPROGS_DEPENDENCIES)))
override UTIL_LINUX_AUTORECONF = NO

# The stand-in for host-fakeroot is the host's fakeroot: no host-acl.
override HOST_FAKEROOT_FINAL_DEPENDENCIES = \
	$(sort $(filter-out host-acl,$(HOST_FAKEROOT_DEPENDENCIES)))
