#ifndef MP4OUTPUT_H
#define MP4OUTPUT_H

#include "media/avhelpers.h"

#include <QByteArray>

// The files of recordings, made as FFmpeg's muxing example makes its output: a muxing
// context with one stream, which the caller describes; then the file opened and its header
// written.
namespace mp4 {

// A muxing context for the file `name` (UTF-8) in `format`, or in the format its extension
// names, with one stream, put in `*stream`. Null after the line that says why.
av::OutputContextPtr create(const QByteArray &name, const char *format, AVStream **stream);

// Opens the file and writes its header, with the muxer's `options`, which it frees. False
// after the line that says why.
bool begin(AVFormatContext *output, const QByteArray &name, AVDictionary *options);

} // namespace mp4

#endif // MP4OUTPUT_H
