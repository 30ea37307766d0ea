#ifndef REPLAY_H
#define REPLAY_H

#include "playback/playbackthread.h"

#include <QObject>
#include <QVector>
#include <QtTest>

// The positions a player reports, kept as they come. Made before the player starts.
struct ReplayWatch
{
    explicit ReplayWatch(PlayBackThread *player)
    {
        QObject::connect(player, &PlayBackThread::positionChanged, &context,
                         [this](PlayBackThread::Position position) { positions << position; });
    }
    bool ended() const { return !positions.isEmpty() && positions.last().ended; }
    bool waitForEnd(int timeoutMs) { return QTest::qWaitFor([this] { return ended(); }, timeoutMs); }

    QVector<PlayBackThread::Position> positions;
    QObject context;
};

#endif // REPLAY_H
