#ifndef CAMERA_H
#define CAMERA_H

#include "simulator.h"

#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QtTest>

// The simulated camera for a test: served on loopback, on a free port, at 30 fps. At 10 fps
// even a slow machine reads its pictures as they come, which tests of timing want: a
// silence then begins when the camera stops, not a backlog later.
inline camsim::Options loopbackCamera(int fps = 30)
{
    camsim::Options options;
    options.port = 0;
    options.address = "127.0.0.1";
    options.fps = fps;
    return options;
}

struct Camera
{
    camsim::Simulator simulator;
    explicit Camera(const camsim::Options &options = loopbackCamera())
        : simulator(options)
    {
    }
    bool start() { return simulator.start(); }
    QString url() const { return QString::fromStdString(simulator.url()); }
};

#ifdef CAMERA_SIM
// The simulated camera as a program of its own: what it holds (memory, sockets, a server
// busy in its own loop) is not the test's. Killed when it goes.
struct CameraProcess
{
    QProcess process;
    QString url;

    // Serves on a free loopback port, with further camera-sim options.
    bool start(const QStringList &arguments = {})
    {
        process.start(QStringLiteral(CAMERA_SIM), QStringList{QStringLiteral("--port"), QStringLiteral("0"),
                                                              QStringLiteral("--address"), QStringLiteral("127.0.0.1")}
                                                      + arguments);
        if (!process.waitForStarted())
            return false;
        const QRegularExpression serving(QStringLiteral("serving (rtsp://\\S+)"));
        return QTest::qWaitFor([&] {
            url = serving.match(QString::fromUtf8(process.peek(4096))).captured(1);
            return !url.isEmpty();
        }, 10000);
    }
    ~CameraProcess()
    {
        process.kill();
        process.waitForFinished();
    }
};
#endif

#endif // CAMERA_H
