#ifndef OPENING_H
#define OPENING_H

#include "stream/readthread.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QRegularExpression>
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

// A "camera" on loopback that answers RTSP as a camera does, its stream described and set
// up and playing, but sends no picture: what the program sees when a firewall lets the
// camera's RTSP through and blocks its video over UDP.
struct MuteCamera
{
    QTcpServer server;

    MuteCamera()
    {
        server.listen(QHostAddress::LocalHost);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            QTcpSocket *socket = server.nextPendingConnection();
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] { answer(socket); });
        });
    }
    QString url() const { return QStringLiteral("rtsp://127.0.0.1:%1/webcam").arg(server.serverPort()); }

private:
    void answer(QTcpSocket *socket)
    {
        QByteArray &pending = requests[socket];
        pending += socket->readAll();
        for (int end = pending.indexOf("\r\n\r\n"); end >= 0; end = pending.indexOf("\r\n\r\n")) {
            const QByteArray request = pending.left(end);
            pending.remove(0, end + 4);
            const QByteArray method = request.left(request.indexOf(' '));
            const QRegularExpression cseq(QStringLiteral("CSeq: *(\\d+)"));
            QByteArray reply = "RTSP/1.0 200 OK\r\nCSeq: " + cseq.match(QString::fromLatin1(request)).captured(1).toLatin1()
                + "\r\n";
            QByteArray body;
            if (method == "OPTIONS") {
                reply += "Public: OPTIONS, DESCRIBE, SETUP, PLAY, TEARDOWN, GET_PARAMETER\r\n";
            } else if (method == "DESCRIBE") {
                body = "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=camera\r\nc=IN IP4 127.0.0.1\r\nt=0 0\r\n"
                       "m=video 0 RTP/AVP 26\r\na=control:stream=0\r\n";
                reply += "Content-Base: " + url().toLatin1() + "/\r\nContent-Type: application/sdp\r\n";
            } else if (method == "SETUP") {
                const QRegularExpression ports(QStringLiteral("client_port=(\\d+-\\d+)"));
                reply += "Transport: RTP/AVP/UDP;unicast;client_port="
                    + ports.match(QString::fromLatin1(request)).captured(1).toLatin1() + ";server_port=9-10\r\n";
            }
            if (method != "OPTIONS" && method != "DESCRIBE")
                reply += "Session: 51320\r\n";
            if (!body.isEmpty())
                reply += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
            socket->write(reply + "\r\n" + body);
        }
    }

    QHash<QTcpSocket *, QByteArray> requests;
};

#endif // OPENING_H
