# SPDX-License-Identifier: MIT
"""The ARM system test's rig: the board's facts, the images, QEMU and the
checks of what a boot left behind."""
