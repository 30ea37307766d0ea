// What the simulated camera sends: picture, encoding, the tilt-sensor block and
// the stream's end. Shared by the library, the command line and the tests.
#pragma once

#include <cstdint>
#include <string>

namespace camsim {

enum class Sampling {
    S422, // Y 2x1, Cb/Cr 1x1: what the camera sends
    S420  // Y 2x2, Cb/Cr 1x1
};

// The block written into each frame's luminance AC table.
enum class Tilt {
    None,          // the table is left standard
    Angle,         // type 1, Options::angle
    AngleSweep,    // type 1, Options::angle + n * sweepStep (mod 360)
    Readings,      // type 6, Options::readings as given
    ReadingsSweep, // type 6, the sweep of angles turned into readings (readingsForAngle)
    ReadingsZero,  // type 6, all three readings 0
    UnknownType,   // type 3 with an angle at +8: a block the program must ignore
    NoTag          // type 1 layout but no FE tag: must be ignored as well
};

// Raw accelerometer readings as the sensor reports them: 12-bit, 0..4095.
// x and z are two's complement in 12 bits (above 2048 means value - 4096).
struct Readings {
    int x = 0;
    int y = 0;
    int z = 0;
};

struct Options {
    // RTSP service. port 0 picks a free port (Simulator::port() tells which).
    int port = 7070;
    std::string address = "0.0.0.0";
    std::string path = "/webcam";

    // Picture and encoding. RTP/JPEG carries the size in units of 8 pixels, up to 2040.
    int width = 1280;
    int height = 960;
    Sampling sampling = Sampling::S422;
    int fps = 30;
    int quality = 85;
    bool detailed = false; // textured quadrants: 100-200 KB per 1280x960 frame at quality 85
    // Each frame carries, in a strip of black/white cells, the time it was painted, right
    // before it is encoded and sent (clockStampNow(), framepainter.h): a reader on the same
    // machine tells from the picture on screen how long it took to get there.
    bool clockStamp = false;

    Tilt tilt = Tilt::None;
    int angle = 0;     // Angle: the angle sent (0..65535); sweeps: the first angle
    int sweepStep = 1; // degrees per frame for both sweeps
    Readings readings; // Readings mode

    int64_t frames = 0;   // frames per client before end of stream; 0 = endless
    int corruptEvery = 0; // damage every k-th frame (frames k-1, 2k-1, ...); 0 = never
    // A camera that hangs: after this many frames per client no more are sent, yet the
    // session stays open (no end of stream). 0 sends none at all; -1 = never hangs.
    int64_t stallAfter = -1;
    // A link that drops now and then, for every client at once: after every gapEvery
    // seconds of sending, nothing for gapLength seconds, counted from start(). Frames that
    // fall in a gap are skipped (see Simulator::pauseSending()). Both 0: no gaps.
    double gapEvery = 0;
    double gapLength = 0;

    // A lossy link: RTP packets dropped as they leave the payloader, each client's on its
    // own. dropPercent of them at random, in runs of dropBurst packets (runs start at random,
    // so that dropPercent stays the share dropped). dropFrameEvery k drops one packet, the
    // middle one, of frames k-1, 2k-1, ... (counted as corruptEvery counts); 0 = never.
    double dropPercent = 0;
    int dropBurst = 1;
    int dropFrameEvery = 0;
};

// Parses the command line's tilt choice:
// none | angle:N | sweep | type6:X,Y,Z | type6-sweep | type6-zero | unknown | no-tag.
// On failure leaves options untouched and describes the problem in *error.
bool parseTilt(const std::string &text, Options &options, std::string *error);

// "WxH"; both multiples of 8 from 64 to 2040 (what an RTP/JPEG header can describe).
bool parseSize(const std::string &text, Options &options, std::string *error);

// Empty if the options can be served, else what is wrong with them.
std::string validate(const Options &options);

} // namespace camsim
