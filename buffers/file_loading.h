// Opening files and loading a whole file into a buffer.
//
// Every file of the program is opened through OpenFile, which gives the
// stream a 64 KiB buffer so that the coder's byte-by-byte reads and writes
// on the archive stay cheap. The loading constructor of DATA_BUFFER
// (declared in buffers/data_buffer.h) reads a whole file into memory, up to
// kMaxFileLength bytes.
#pragma once

#include <sys/stat.h>

#include <cstdio>

#include "buffers/data_buffer.h"

namespace zubreca {

inline constexpr long kMaxFileLength = 1073741824;  // 1 GiB
inline constexpr int kStreamBufferSize = 0x10000;   // 64 KiB

// Opens `name` with the fopen `mode`. When that fails: fatal
// "can`t open file %s" if `mustOpen`, otherwise returns null silently.
// The stream gets a fully buffered 64 KiB buffer. A file opened for
// reading must be a regular file (OpenRegularFile, following links).
FILE* OpenFile(const char* name, const char* mode, bool mustOpen);

// Opens an existing regular file for reading, with a 64 KiB buffer, or
// returns null. It never waits: a FIFO or a device of that name is
// refused, not opened. Without `followLinks` a symbolic link is refused as
// well. `status`, when given, receives the status of the opened file.
FILE* OpenRegularFile(const char* name, bool followLinks, struct stat* status = nullptr);

// A stream with a 64 KiB buffer on the open descriptor `fd`, which it then
// owns; null (and `fd` closed) when that fails.
FILE* OpenStream(int fd, const char* mode);

// Closes a stream from OpenFile and frees its buffer; returns what fclose
// returns. (A stream closed with plain fclose instead loses nothing but
// the buffer's memory until its FILE record is reused.)
int CloseFile(FILE* file);

}  // namespace zubreca
