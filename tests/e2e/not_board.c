// SPDX-License-Identifier: MIT
/* A shared library that interposes nothing: preloaded in place of the board
   library, it plants a program that escapes the emulated board. */
int not_board_library;
