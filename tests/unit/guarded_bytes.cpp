// SPDX-License-Identifier: MIT
#include "guarded_bytes.h"

#include <cstdlib>

#include <sys/mman.h>
#include <unistd.h>

GuardedBytes::GuardedBytes(size_t n) : size(n)
{
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t pages = (n + page - 1) / page + 1;
    block_len = pages * page;
    block = mmap(nullptr, block_len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED)
        abort();
    unsigned char *end = static_cast<unsigned char *>(block) + (pages - 1) * page;
    mprotect(end, page, PROT_NONE);
    data = end - n;
}

GuardedBytes::~GuardedBytes()
{
    munmap(block, block_len);
}
