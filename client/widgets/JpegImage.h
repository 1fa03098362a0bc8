#pragma once

#include <QByteArray>
#include <QImage>
#include <QString>

namespace kolvaro {

// Decodes JPEG data with libjpeg into a QImage (Format_RGB32). Strict: data
// that libjpeg has to patch up (truncated, corrupt, stray bytes) is an error,
// as are pictures larger than maxSide on either side. On error the image is
// null and *error, when given, says why.
QImage decodeJpeg(const QByteArray& data, QString* error = nullptr, int maxSide = 8192);

} // namespace kolvaro
