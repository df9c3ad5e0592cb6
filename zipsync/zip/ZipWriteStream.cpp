#include "zip/internal/ZipWriteStream.h"

#include "base/Utils.h"

#include <errno.h>
#include <stdio.h>

namespace ZipSync {

namespace {

FILE* File(voidpf stream) {
    return static_cast<FILE*>(stream);
}

// Keeps the cause of the first failure: later ones are mostly its consequences.
void Record(voidpf opaque) {
    WriteStreamErrors* errors = static_cast<WriteStreamErrors*>(opaque);
    if (errors->firstErrno == 0) errors->firstErrno = errno != 0 ? errno : EIO;
}

voidpf OpenStream(voidpf opaque, const void* filename, int mode) {
    const char* how = "rb";
    if ((mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ)
        how = (mode & ZLIB_FILEFUNC_MODE_EXISTING) ? "r+b" : "wb";
    errno = 0;
    FILE* file = filename ? OpenStdioFile(static_cast<const char*>(filename), how) : nullptr;
    if (!file) Record(opaque);
    return file;
}

uLong ReadStream(voidpf opaque, voidpf stream, void* buffer, uLong size) {
    errno = 0;
    size_t got = fread(buffer, 1, size, File(stream));
    if (got != size && ferror(File(stream))) Record(opaque);
    return uLong(got);
}

uLong WriteStream(voidpf opaque, voidpf stream, const void* buffer, uLong size) {
    errno = 0;
    size_t written = fwrite(buffer, 1, size, File(stream));
    if (written != size) Record(opaque);
    return uLong(written);
}

ZPOS64_T TellStream(voidpf opaque, voidpf stream) {
    errno = 0;
    int64_t position = FileTell64(File(stream));
    if (position < 0) Record(opaque);
    return ZPOS64_T(position);
}

long SeekStream(voidpf opaque, voidpf stream, ZPOS64_T offset, int origin) {
    int whence = origin == ZLIB_FILEFUNC_SEEK_CUR   ? SEEK_CUR
                 : origin == ZLIB_FILEFUNC_SEEK_END ? SEEK_END
                                                    : SEEK_SET;
    errno = 0;
    if (FileSeek64(File(stream), int64_t(offset), whence) == 0) return 0;
    Record(opaque);
    return -1;
}

int CloseStream(voidpf opaque, voidpf stream) {
    // Buffered bytes that find no room fail here.
    errno = 0;
    int result = fclose(File(stream));
    if (result != 0) Record(opaque);
    return result;
}

int ErrorStream(voidpf, voidpf stream) {
    return ferror(File(stream));
}

} // namespace

void FillRecordingWriteFileFuncs(zlib_filefunc64_def* funcs, WriteStreamErrors* errors) {
    funcs->zopen64_file = OpenStream;
    funcs->zread_file = ReadStream;
    funcs->zwrite_file = WriteStream;
    funcs->ztell64_file = TellStream;
    funcs->zseek64_file = SeekStream;
    funcs->zclose_file = CloseStream;
    funcs->zerror_file = ErrorStream;
    funcs->opaque = errors;
}

} // namespace ZipSync
