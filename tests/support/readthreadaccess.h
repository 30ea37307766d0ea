#ifndef READTHREADACCESS_H
#define READTHREADACCESS_H

#include "stream/readthread.h"

#include <QCoreApplication>

// The reader's frame path without a network: tests and fuzz targets open a decoder for
// stream parameters of their own and hand packets in one by one, as the loop does.
struct ReadThreadTestAccess
{
    static bool openDecoder(ReadThread &reader, AVStream *stream)
    {
        std::unique_ptr<StreamConnection> connection(new StreamConnection(reader.interruptFlag));
        if (!connection->decoded || !connection->frameRGB || !connection->openDecoder(stream))
            return false;
        reader.connection = std::move(connection);
        return true;
    }
    // The picture, if any, reaches getImage() before this returns.
    static void handlePacket(ReadThread &reader, AVPacket *packet)
    {
        reader.handlePacket(packet);
        QCoreApplication::sendPostedEvents(&reader.mailbox, QEvent::MetaCall);
    }
    static bool isHaveDegree(const ReadThread &reader) { return reader.isHaveDegree; }
    static void setHaveDegree(ReadThread &reader, bool value) { reader.isHaveDegree = value; }
    static int lastDegree(const ReadThread &reader) { return reader.lastDegree; }
};

#endif // READTHREADACCESS_H
