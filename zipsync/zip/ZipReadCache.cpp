#include "zip/internal/ZipReadCache.h"

#include "base/Utils.h"

#include <algorithm>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <vector>

namespace ZipSync {

namespace {

const size_t WINDOW_SIZE = 65536;

class CachedReadStream {
public:
    explicit CachedReadStream(FILE* file) : _file(file) {
        // The windows are the buffers; a stdio buffer would only add a copy.
        setvbuf(_file, nullptr, _IONBF, 0);
        // Reserved now, so that reading never allocates (and so never throws into minizip).
        for (Window& window : _windows) window.bytes.reserve(WINDOW_SIZE);
        if (FileSeek64(_file, 0, SEEK_END) == 0)
            _size = uint64_t(FileTell64(_file));
        else
            _error = true;
    }
    ~CachedReadStream() { fclose(_file); }
    CachedReadStream(const CachedReadStream&) = delete;
    CachedReadStream& operator=(const CachedReadStream&) = delete;

    uLong Read(void* buffer, uLong size) {
        uint8_t* out = static_cast<uint8_t*>(buffer);
        if (size >= WINDOW_SIZE) return ReadDirect(out, size);
        uLong done = 0;
        while (done < size && _pos < _size) {
            Window& window = WindowAt(_pos);
            if (window.bytes.empty()) break;
            size_t offset = size_t(_pos - window.start);
            size_t chunk = std::min<size_t>(size - done, window.bytes.size() - offset);
            memcpy(out + done, window.bytes.data() + offset, chunk);
            done += uLong(chunk);
            _pos += chunk;
        }
        return done;
    }

    uint64_t Tell() const { return _pos; }

    long Seek(uint64_t offset, int origin) {
        switch (origin) {
        case ZLIB_FILEFUNC_SEEK_SET:
            _pos = offset;
            return 0;
        case ZLIB_FILEFUNC_SEEK_CUR:
            _pos += offset;
            return 0;
        case ZLIB_FILEFUNC_SEEK_END:
            _pos = _size + offset;
            return 0;
        default:
            return -1;
        }
    }

    int Error() const { return _error ? 1 : 0; }

private:
    struct Window {
        uint64_t start = 0;
        std::vector<uint8_t> bytes;
        uint64_t lastUse = 0;
    };

    uLong ReadDirect(uint8_t* out, uLong size) {
        if (FileSeek64(_file, int64_t(_pos), SEEK_SET) != 0) {
            _error = true;
            return 0;
        }
        size_t got = fread(out, 1, size, _file);
        if (got < size && ferror(_file)) _error = true;
        _pos += got;
        return uLong(got);
    }

    // The window holding pos, filled from the file into the least recently used one if
    // needed; its bytes are empty when nothing could be read there.
    Window& WindowAt(uint64_t pos) {
        _clock++;
        for (Window& window : _windows) {
            if (!window.bytes.empty() && pos >= window.start && pos - window.start < window.bytes.size()) {
                window.lastUse = _clock;
                return window;
            }
        }
        Window& window = _windows[0].lastUse <= _windows[1].lastUse ? _windows[0] : _windows[1];
        window.lastUse = _clock;
        window.start = pos;
        window.bytes.resize(WINDOW_SIZE);
        size_t got = 0;
        if (FileSeek64(_file, int64_t(pos), SEEK_SET) == 0)
            got = fread(window.bytes.data(), 1, WINDOW_SIZE, _file);
        if (got < WINDOW_SIZE && ferror(_file)) _error = true;
        window.bytes.resize(got);
        return window;
    }

    FILE* _file;
    uint64_t _size = 0;
    uint64_t _pos = 0;
    bool _error = false;
    Window _windows[2];
    uint64_t _clock = 0;
};

CachedReadStream* Stream(voidpf stream) {
    return static_cast<CachedReadStream*>(stream);
}

voidpf OpenStream(voidpf, const void* filename, int mode) {
    if (!filename || (mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ) return nullptr;
    FILE* file = OpenStdioFile(static_cast<const char*>(filename), "rb");
    if (!file) return nullptr;
    // Nothing may be thrown into minizip's C code.
    try {
        return new CachedReadStream(file);
    } catch (...) {
        fclose(file);
        return nullptr;
    }
}

uLong ReadStream(voidpf, voidpf stream, void* buffer, uLong size) {
    return Stream(stream)->Read(buffer, size);
}

uLong WriteStream(voidpf, voidpf, const void*, uLong) {
    return 0;
}

ZPOS64_T TellStream(voidpf, voidpf stream) {
    return Stream(stream)->Tell();
}

long SeekStream(voidpf, voidpf stream, ZPOS64_T offset, int origin) {
    return Stream(stream)->Seek(offset, origin);
}

int CloseStream(voidpf, voidpf stream) {
    delete Stream(stream);
    return 0;
}

int ErrorStream(voidpf, voidpf stream) {
    return Stream(stream)->Error();
}

} // namespace

void FillCachedReadFileFuncs(zlib_filefunc64_def* funcs) {
    funcs->zopen64_file = OpenStream;
    funcs->zread_file = ReadStream;
    funcs->zwrite_file = WriteStream;
    funcs->ztell64_file = TellStream;
    funcs->zseek64_file = SeekStream;
    funcs->zclose_file = CloseStream;
    funcs->zerror_file = ErrorStream;
    funcs->opaque = nullptr;
}

} // namespace ZipSync
