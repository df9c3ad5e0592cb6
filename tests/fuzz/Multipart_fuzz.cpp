// Response parsing of the downloader: the header-line parser and the multipart/byteranges
// splitter on arbitrary answers. The input is an HTTP answer without its status line: header
// lines up to the first empty line, then the body. Either the answer fails with an input error
// or it yields parts with a valid range, in ascending order, holding no more than the body.
#include "FuzzSupport.h"

#include "net/Downloader.h"

#include <string.h>

using namespace ZipSync;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SilenceLogging();
    const char* text = reinterpret_cast<const char*>(data);
    std::vector<std::string> lines;
    size_t pos = 0;
    // Each line keeps its CRLF, as curl hands it over; the empty line ends the headers.
    while (pos < size) {
        const char* lf = static_cast<const char*>(memchr(text + pos, '\n', size - pos));
        size_t end = lf ? size_t(lf - text) + 1 : size;
        lines.emplace_back(text + pos, end - pos);
        pos = end;
        if (lines.back() == "\r\n" || lines.back() == "\n") break;
    }
    std::vector<uint8_t> body(data + pos, data + size);
    std::vector<Downloader::ResponsePart> parts;
    if (!ExpectingInputErrors([&] { parts = Downloader::ParseResponse(lines, body); })) return 0;
    size_t total = 0;
    for (size_t i = 0; i < parts.size(); i++) {
        FuzzCheck(parts[i].from < parts[i].end);
        FuzzCheck(i == 0 || parts[i - 1].from <= parts[i].from);
        total += parts[i].data.size();
    }
    FuzzCheck(total <= body.size());
    return 0;
}
