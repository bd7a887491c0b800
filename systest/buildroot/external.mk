# SPDX-License-Identifier: MIT
# The test board builds no packages of its own.
