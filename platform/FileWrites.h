#ifndef FILE_WRITES_H
#define FILE_WRITES_H

#include <sys/types.h>

#include <cstddef>

// Writes all `size` bytes of `data` to `fd` at `offset`, going on after
// interrupted and partial writes: 0, or the errno of the write that failed.
int KorvanWriteAllAt(int fd, const char* data, size_t size, off_t offset);

// Reads `size` bytes of `fd` at `offset` into `buffer`, going on after
// interrupted and partial reads: 0, or the errno of the read that failed
// (EIO for an end of file before `size` bytes).
int KorvanReadAllAt(int fd, char* buffer, size_t size, off_t offset);

// Cuts (or extends) `fd` to `size` bytes: 0, or the errno of the failure.
int KorvanTruncateTo(int fd, off_t size);

// A file whose earlier start new text is being written over in place,
// until it is cut back to that text: what a stop at once (a signal handler
// that ends the process) must put back, so that the file is left either as
// it was or as the new text. KorvanMarkOverwrite notes the descriptor, the
// file's earlier size, the earlier bytes the text overwrites (`saved`, which
// must outlive the mark) and the text's length; mark it before the text is
// written. KorvanMarkCutting notes that the cut back to the text has begun
// (a stop then finishes it), or, with false, that it failed. At most
// kKorvanOverwriteMarks files are marked at once.
struct KorvanOverwriteMark;
constexpr int kKorvanOverwriteMarks = 4;
KorvanOverwriteMark* KorvanMarkOverwrite(int fd, off_t size, const char* saved, size_t savedLength,
                                         off_t textLength);
void KorvanMarkCutting(KorvanOverwriteMark* mark, bool cutting);
void KorvanUnmarkOverwrite(KorvanOverwriteMark* mark);

// Puts back every marked file's earlier bytes and size, or finishes its
// cut. Async-signal-safe. Also runs at exit (registered with the first
// mark), so that a process ended by exit() while a file is marked leaves it
// as it was too.
void KorvanPutBackOverwrites();

// Room for the path of a descriptor's entry in /proc.
constexpr size_t kKorvanDescriptorPathSize = 32;

// The path that opens the very file of the descriptor `fd` (its entry in
// /proc, not whatever bears its name by now), made in `buffer`; `name`
// where there is no /proc. Allocates nothing.
const char* KorvanPathOfDescriptor(int fd, const char* name, char (&buffer)[kKorvanDescriptorPathSize]);

#endif
