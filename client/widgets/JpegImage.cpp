#include "JpegImage.h"

#include <csetjmp>
#include <cstdio>
#include <vector>

#include <jpeglib.h>

namespace kolvaro {

namespace {

struct ErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf escape;
    char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void onError(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->escape, 1);
}

// libjpeg only warns about data it had to invent (a missing end, bad bytes);
// a picture built from invented data is not the one stored.
void onMessage(j_common_ptr cinfo, int level) {
    if (level < 0)
        onError(cinfo);
}

void installErrorHandlers(jpeg_decompress_struct& cinfo, ErrorManager& err) {
    cinfo.err = jpeg_std_error(&err.base);
    err.base.error_exit = onError;
    err.base.emit_message = onMessage;
    err.message[0] = '\0';
}

// The functions below run under decodeInto's setjmp and hold no object with a
// destructor: a longjmp may leave them at any point.

// False, with the reason in err, for a picture larger than maxSide either way.
bool withinSize(const jpeg_decompress_struct& cinfo, ErrorManager& err, int maxSide) {
    if (cinfo.image_width > static_cast<JDIMENSION>(maxSide) ||
        cinfo.image_height > static_cast<JDIMENSION>(maxSide)) {
        std::snprintf(err.message, sizeof err.message, "picture too large (%ux%u)",
                      cinfo.image_width, cinfo.image_height);
        return false;
    }
    return true;
}

// Reads every row of a started decompression into `out` as RGB32.
void readRows(jpeg_decompress_struct& cinfo, QImage* out, std::vector<unsigned char>* row) {
    row->resize(static_cast<std::size_t>(cinfo.output_width) * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        auto* line =
            reinterpret_cast<QRgb*>(out->scanLine(static_cast<int>(cinfo.output_scanline)));
        JSAMPROW rows[1] = {row->data()};
        jpeg_read_scanlines(&cinfo, rows, 1);
        const unsigned char* p = row->data();
        for (JDIMENSION x = 0; x < cinfo.output_width; ++x, p += 3)
            line[x] = qRgb(p[0], p[1], p[2]);
    }
}

// Everything it builds lives in the caller's frame.
bool decodeInto(jpeg_decompress_struct& cinfo, ErrorManager& err, const QByteArray& data,
                int maxSide, QImage* out, std::vector<unsigned char>* row) {
    installErrorHandlers(cinfo, err);
    if (setjmp(err.escape)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(data.constData()),
                 static_cast<unsigned long>(data.size()));
    jpeg_read_header(&cinfo, TRUE);
    if (!withinSize(cinfo, err, maxSide)) {
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    *out = QImage(static_cast<int>(cinfo.output_width), static_cast<int>(cinfo.output_height),
                  QImage::Format_RGB32);
    if (out->isNull()) {
        std::snprintf(err.message, sizeof err.message, "out of memory for the picture");
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    readRows(cinfo, out, row);
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return true;
}

} // namespace

QImage decodeJpeg(const QByteArray& data, QString* error, int maxSide) {
    jpeg_decompress_struct cinfo{};
    ErrorManager err{};
    QImage image;
    std::vector<unsigned char> row;
    if (data.isEmpty()) {
        if (error)
            *error = QStringLiteral("no JPEG data");
        return {};
    }
    if (!decodeInto(cinfo, err, data, maxSide, &image, &row)) {
        if (error)
            *error = QStringLiteral("JPEG data cannot be decoded: %1")
                         .arg(QString::fromLocal8Bit(err.message));
        return {};
    }
    return image;
}

} // namespace kolvaro
