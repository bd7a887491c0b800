################################################################################
#
# orvane-updater
#
################################################################################

# SPDX-License-Identifier: MIT

# The source is the project this tree is part of.
ORVANE_UPDATER_VERSION = $(shell sed -n 's/^project.orvane_updater VERSION \([0-9.]*\).*/\1/p' \
	$(BR2_EXTERNAL_ORVANE_PATH)/../CMakeLists.txt)
ORVANE_UPDATER_SITE = $(BR2_EXTERNAL_ORVANE_PATH)/..
ORVANE_UPDATER_SITE_METHOD = local
# What git ignores in the tree (build folders, screens) is not copied.
ORVANE_UPDATER_OVERRIDE_SRCDIR_RSYNC_EXCLUSIONS = --filter=':- .gitignore'
ORVANE_UPDATER_LICENSE = MIT
ORVANE_UPDATER_LICENSE_FILES = LICENSE
ORVANE_UPDATER_DEPENDENCIES = freetype

# The tree has a folder updater/ where the link puts the program updater.
ORVANE_UPDATER_SUPPORTS_IN_SOURCE_BUILD = NO

# Only the device program: no tests, emulator, image check or manual page.
ORVANE_UPDATER_CONF_OPTS = \
	-DUPDATER_BUILD_TESTS=OFF \
	-DUPDATER_BUILD_SIM=OFF \
	-DUPDATER_BUILD_SIM_LAUNCHER=OFF \
	-DUPDATER_BUILD_IMAGECHECK=OFF \
	-DUPDATER_INSTALL_MAN=OFF \
	-DUPDATER_INSTALL_INIT=all

# The install rule lays out the program, both start-up files and the
# defaults file in a folder of the build; the target gets the start-up
# file of the board's init.
ORVANE_UPDATER_INSTALLED = $(@D)/buildroot-installed

define ORVANE_UPDATER_INSTALL_TARGET_CMDS
	rm -rf $(ORVANE_UPDATER_INSTALLED)
	$(TARGET_MAKE_ENV) DESTDIR=$(ORVANE_UPDATER_INSTALLED) \
		$(BR2_CMAKE) --install $(ORVANE_UPDATER_BUILDDIR)
	$(INSTALL) -D -m 0755 $(ORVANE_UPDATER_INSTALLED)/usr/sbin/updater \
		$(TARGET_DIR)/usr/sbin/updater
	$(INSTALL) -D -m 0644 $(ORVANE_UPDATER_INSTALLED)/etc/default/updater \
		$(TARGET_DIR)/etc/default/updater
endef

define ORVANE_UPDATER_INSTALL_INIT_SYSV
	$(INSTALL) -D -m 0755 $(ORVANE_UPDATER_INSTALLED)/etc/init.d/updater \
		$(TARGET_DIR)/etc/init.d/updater
endef

# Enabled by Buildroot's "systemctl preset-all", whatever the default policy.
define ORVANE_UPDATER_INSTALL_INIT_SYSTEMD
	$(INSTALL) -D -m 0644 $(ORVANE_UPDATER_INSTALLED)/usr/lib/systemd/system/updater.service \
		$(TARGET_DIR)/usr/lib/systemd/system/updater.service
	$(INSTALL) -D -m 0644 $(ORVANE_UPDATER_PKGDIR)/50-orvane-updater.preset \
		$(TARGET_DIR)/usr/lib/systemd/system-preset/50-orvane-updater.preset
endef

# Mode 2 formats partitions that fstab may mount: under BusyBox or SysV
# init the script must run before the inittab's "mount -a", and an S??
# script run by rcS comes too late. As Buildroot sets its getty line, the
# entry is put into whatever inittab the target has at the end.
ifeq ($(BR2_INIT_BUSYBOX),y)
ORVANE_UPDATER_INITTAB_ID =
else ifeq ($(BR2_INIT_SYSV),y)
ORVANE_UPDATER_INITTAB_ID = upd
endif
ifneq ($(BR2_INIT_BUSYBOX)$(BR2_INIT_SYSV),)
define ORVANE_UPDATER_INITTAB_ENTRY
	$(ORVANE_UPDATER_PKGDIR)/inittab-entry.sh $(TARGET_DIR)/etc/inittab \
		'$(ORVANE_UPDATER_INITTAB_ID)::sysinit:/etc/init.d/updater start'
endef
ORVANE_UPDATER_TARGET_FINALIZE_HOOKS += ORVANE_UPDATER_INITTAB_ENTRY
endif

# mtd-utils 2.x replaced flash_eraseall by "flash_erase DEV 0 0" and keeps
# the old name as a script, which Buildroot's mtd package installs only in
# the staging folder. Mode 1 mounts the old YAFFS partition on /blk.
ifeq ($(BR2_PACKAGE_ORVANE_UPDATER_MODE1),y)
ORVANE_UPDATER_DEPENDENCIES += mtd
define ORVANE_UPDATER_INSTALL_MODE1
	$(INSTALL) -D -m 0755 $(STAGING_DIR)/usr/sbin/flash_eraseall \
		$(TARGET_DIR)/usr/sbin/flash_eraseall
	mkdir -p $(TARGET_DIR)/blk $(TARGET_DIR)/mnt
endef
ORVANE_UPDATER_POST_INSTALL_TARGET_HOOKS += ORVANE_UPDATER_INSTALL_MODE1
endif

ifeq ($(BR2_PACKAGE_ORVANE_UPDATER_FONT_DEJAVU),y)
ORVANE_UPDATER_DEPENDENCIES += dejavu
define ORVANE_UPDATER_INSTALL_FONT
	mkdir -p $(TARGET_DIR)/font
	ln -sf ../usr/share/fonts/dejavu/DejaVuSans.ttf $(TARGET_DIR)/font/GOTHIC.TTF
endef
else ifeq ($(BR2_PACKAGE_ORVANE_UPDATER_FONT_FILE),y)
define ORVANE_UPDATER_INSTALL_FONT
	$(INSTALL) -D -m 0644 $(call qstrip,$(BR2_PACKAGE_ORVANE_UPDATER_FONT_PATH)) \
		$(TARGET_DIR)/font/GOTHIC.TTF
endef
endif
ORVANE_UPDATER_POST_INSTALL_TARGET_HOOKS += ORVANE_UPDATER_INSTALL_FONT

$(eval $(cmake-package))
