#ifndef READTHREADACCESS_H
#define READTHREADACCESS_H

#include "stream/readthread.h"

#include <QCoreApplication>

// The reader's frame path without a network: tests and fuzz targets open a decoder for
// stream parameters of their own and hand packets in, as the reading loop does. The one
// class a test sees inside; the frame decoder behind it is used as the reader uses it.
struct ReadThreadTestAccess
{
    static bool openDecoder(ReadThread &reader, const AVStream *stream)
    {
        reader.source.frameRate = AVRational{30, 1};
        reader.hasSource = true;
        reader.session = std::make_shared<FrameDecoder::Session>();
        reader.session->codecCtx = av::openDecoder(stream);
        reader.session->timeBase = stream->time_base;
        return reader.session->codecCtx != nullptr;
    }
    // Hands the packet on as the reading loop does, and waits until the frame decoder has
    // done with it: the picture, if any, reaches getImage() before this returns.
    static void handlePacket(ReadThread &reader, AVPacket *packet)
    {
        if (!reader.frameDecoder.isRunning())
            reader.frameDecoder.start();
        reader.handlePacket(packet);
        reader.frameDecoder.finishQueued();
        QCoreApplication::sendPostedEvents(&reader.mailbox, QEvent::MetaCall);
    }
    // Queues the packet for the decoder's thread, as the reading loop does.
    static void queuePacket(ReadThread &reader, AVPacket *packet) { reader.handlePacket(packet); }
    static FrameDecoder &decoder(ReadThread &reader) { return reader.frameDecoder; }
    static bool isHaveDegree(const ReadThread &reader) { return reader.isHaveDegree; }
    static void setHaveDegree(ReadThread &reader, bool value) { reader.isHaveDegree = value; }
    static int lastDegree(const ReadThread &reader) { return reader.lastDegree; }
};

#endif // READTHREADACCESS_H
