# nooelint: oelint.var.mandatoryvar.HOMEPAGE,oelint.var.suggestedvar.BUGTRACKER,oelint.var.suggestedvar.CVE_PRODUCT,oelint.var.bbclassextend - the project has no public home page, bug tracker or CVE product name, and a board program has no native variant
# SPDX-License-Identifier: MIT
SUMMARY = "Storage preparation for an ARM board during a special boot"
DESCRIPTION = "The updater runs once, in a boot whose kernel command line \
               carries updater=. It prepares the board's user storage with \
               the board's shell tools (mode 1: NAND flash turned into UBI \
               and FAT32; mode 2: fresh ext3 and FAT32 file systems on MMC \
               partitions 3, 5 and 6), shows its progress in text drawn with \
               FreeType into the overlay framebuffer /dev/fb1, and reboots."
SECTION = "admin"
LICENSE = "MIT"
LIC_FILES_CHKSUM = "file://LICENSE;md5=029c069118839b53df6b1327dba09872"

DEPENDS = "freetype"

# The project's git repository has no public address: a board maker points
# ORVANE_UPDATER_GIT at their copy of it (meta-orvane/README.md). The default
# names a host that can never resolve, so that a forgotten setting fails at
# do_fetch instead of fetching something else.
ORVANE_UPDATER_GIT ?= "git://orvane-updater.invalid/orvane-updater.git;protocol=https;branch=main"
SRC_URI = "${ORVANE_UPDATER_GIT}"
SRCREV = "1c08db27a69cc0b1c57aea9c59ade70b869e893d"

S = "${WORKDIR}/git"

inherit cmake pkgconfig systemd update-rc.d

# Only the device program and its start-up files: the board emulator, its
# launcher, the image check and the tests are host tools. Both start-up files
# are installed, the unit where the systemd class looks for it; the classes
# then drop whichever the distribution's init does not use. The manual page
# needs scdoc, which OpenEmbedded-Core does not have.
EXTRA_OECMAKE = "-DUPDATER_BUILD_TESTS=OFF -DUPDATER_BUILD_SIM=OFF \
                 -DUPDATER_BUILD_SIM_LAUNCHER=OFF -DUPDATER_BUILD_IMAGECHECK=OFF \
                 -DUPDATER_INSTALL_MAN=OFF -DUPDATER_INSTALL_INIT=all \
                 -DUPDATER_SYSTEMD_UNITDIR=${systemd_system_unitdir}"

# The tools each mode runs, recommended only for the modes the board uses
# (PACKAGECONFIG = "mode2" on a board that never runs mode 1). BusyBox gives
# rm, mknod, mount, cp, umount, reboot and insmod; poky's BusyBox has no
# flash_eraseall, ubiformat, ubimkvol, mkdosfs or mke2fs applet, and its
# mke2fs could not make ext3 anyway. flash_eraseall is in the mtd-utils
# package itself: mtd-utils 2.x keeps it as a script that runs flash_erase,
# and ranks it above BusyBox's applet through update-alternatives.
# ubiformat and ubimkvol are in mtd-utils-ubifs, mke2fs in e2fsprogs-mke2fs.
PACKAGECONFIG ??= "mode1 mode2"
PACKAGECONFIG[mode1] = ",,,,mtd-utils mtd-utils-ubifs dosfstools"
PACKAGECONFIG[mode2] = ",,,,dosfstools e2fsprogs-mke2fs"

SYSTEMD_SERVICE:${PN} = "updater.service"

# Runlevel S, after sysfs.sh (S02, which mounts /proc) and before
# mountall.sh (S03), which mounts the fstab: mode 2 formats partitions that
# an fstab may mount.
INITSCRIPT_NAME = "updater"
INITSCRIPT_PARAMS = "start 02 S ."

CONFFILES:${PN} = "${sysconfdir}/default/updater"

# The program runs its commands through /bin/sh, and so do both start-up
# files.
RDEPENDS:${PN} = "${VIRTUAL-RUNTIME_base-utils}"
