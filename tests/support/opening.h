#ifndef OPENING_H
#define OPENING_H

#include "stream/readthread.h"

#include <QElapsedTimer>
#include <QList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <atomic>
#include <thread>

// Runs openStream() on a thread of its own, as the window runs it on the GUI thread, so
// that the test's thread stays free to serve, watch and stop while the reader waits.
class BackgroundOpen
{
public:
    explicit BackgroundOpen(ReadThread &reader)
        : thread([this, &reader] {
            opened = reader.openStream();
            done = true;
        })
    {
    }
    ~BackgroundOpen()
    {
        if (thread.joinable())
            thread.join();
    }
    bool finished() const { return done; }
    // Serves this thread's events until openStream() has returned, and gives its result.
    bool result(int timeoutMs = 10000)
    {
        QElapsedTimer timer;
        timer.start();
        while (!done && timer.elapsed() < timeoutMs)
            QTest::qWait(5);
        thread.join();
        return opened;
    }

private:
    std::atomic<bool> done{false};
    bool opened = false;
    std::thread thread;
};

// A "camera" on loopback that accepts the connection and never says a word.
struct SilentServer
{
    QTcpServer server;
    QList<QTcpSocket *> accepted;

    SilentServer()
    {
        server.listen(QHostAddress::LocalHost);
        QObject::connect(&server, &QTcpServer::newConnection,
                         [this] { accepted << server.nextPendingConnection(); });
    }
    QString url() const { return QStringLiteral("rtsp://127.0.0.1:%1/webcam").arg(server.serverPort()); }
};

#endif // OPENING_H
