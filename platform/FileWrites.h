#ifndef FILE_WRITES_H
#define FILE_WRITES_H

#include <sys/types.h>

#include <cstddef>

// Writes all `size` bytes of `data` to `fd` at `offset`, going on after
// interrupted and partial writes: 0, or the errno of the write that failed.
int KorvanWriteAllAt(int fd, const char* data, size_t size, off_t offset);

// Cuts (or extends) `fd` to `size` bytes: 0, or the errno of the failure.
int KorvanTruncateTo(int fd, off_t size);

// Room for the path of a descriptor's entry in /proc.
constexpr size_t kKorvanDescriptorPathSize = 32;

// The path that opens the very file of the descriptor `fd` (its entry in
// /proc, not whatever bears its name by now), made in `buffer`; `name`
// where there is no /proc. Allocates nothing.
const char* KorvanPathOfDescriptor(int fd, const char* name, char (&buffer)[kKorvanDescriptorPathSize]);

#endif
