#ifndef CAMERA_H
#define CAMERA_H

#include "simulator.h"

#include <QString>

// The simulated camera for a test: served on loopback, on a free port, at 30 fps.
inline camsim::Options loopbackCamera()
{
    camsim::Options options;
    options.port = 0;
    options.address = "127.0.0.1";
    options.fps = 30;
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

#endif // CAMERA_H
