// A writing stream for minizip that remembers why an operation on its file failed.
//
// minizip reports every failed write, seek or close of its file as ZIP_ERRNO (-1) and nothing
// more. These file functions are stdio's, but the first failure keeps its errno in a record
// that the caller owns and that outlives the stream, so that the owner of the zip handle
// (ZipFileHolder) can name the cause, such as a full disk. Files are opened with
// OpenStdioFile, which never blocks on a FIFO.
#pragma once

#include <minizip/ioapi.h>

namespace ZipSync {

struct WriteStreamErrors {
    // errno of the first failed operation since the record was last cleared; 0 when none.
    int firstErrno = 0;
};

// Fills funcs for zipOpen2_64 with stdio file functions that record failures in errors, which
// must live as long as the zip handle.
void FillRecordingWriteFileFuncs(zlib_filefunc64_def* funcs, WriteStreamErrors* errors);

} // namespace ZipSync
