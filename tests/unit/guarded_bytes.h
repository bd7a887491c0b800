// SPDX-License-Identifier: MIT
// Byte buffers that end right at an inaccessible page, so that a read past
// their end faults.
#ifndef TESTS_UNIT_GUARDED_BYTES_H
#define TESTS_UNIT_GUARDED_BYTES_H

#include <cstddef>

// size bytes whose last byte is the last readable one before a PROT_NONE page.
struct GuardedBytes {
    explicit GuardedBytes(size_t size);
    ~GuardedBytes();
    unsigned char *data;
    size_t size;
    void *block;
    size_t block_len;
};

#endif
