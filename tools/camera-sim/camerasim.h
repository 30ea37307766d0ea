// The simulated camera, all of it:
//
//   Options, parseTilt(), parseSize(), validate()        options.h
//   Simulator: start(), stop(), port(), url(), ...       simulator.h
//   FramePainter, renderFrame(), readFrameIndex()        framepainter.h
//   FrameEncoder, encodeFrame(), carrierBuffer(),
//   isCorrupted()                                        frameencoder.h
//   sensorBlock(), kStandardBlock, angleSent(),
//   readingsSent(), readingsForAngle()                   sensorblock.h
//
// A test starts a Simulator with port 0 on a free port, reads rtsp://127.0.0.1:port()/webcam,
// tells which frame a decoded picture is with readFrameIndex() and compares it with
// renderFrame() and the block sensorBlock() says that frame carried.
#pragma once

#include "frameencoder.h"
#include "framepainter.h"
#include "options.h"
#include "sensorblock.h"
#include "simulator.h"
