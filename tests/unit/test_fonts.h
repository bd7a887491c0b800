// SPDX-License-Identifier: MIT
// The fonts of the text tests, loaded into TextRenderer the way the device
// loads its own.
#ifndef TESTS_UNIT_TEST_FONTS_H
#define TESTS_UNIT_TEST_FONTS_H

// The outline face (DejaVuSans) that stands in for /font/GOTHIC.TTF.
void load_test_font();
// The same face carrying an embedded bitmap strike of bit_depth (1, 2, 4 or
// 8) bits at the renderer's size, built with the tests.
void load_strike_font(int bit_depth);

#endif
