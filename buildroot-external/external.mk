# SPDX-License-Identifier: MIT
include $(sort $(wildcard $(BR2_EXTERNAL_ORVANE_PATH)/package/*/*.mk))
