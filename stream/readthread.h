#ifndef READTHREAD_H
#define READTHREAD_H

#include "media/avhelpers.h"
#include "media/pictureconverter.h"

#include <QImage>
#include <QMutex>
#include <QString>
#include <QThread>

#include <atomic>

// Reads the camera's RTSP stream on its own thread: takes the tilt-sensor block out of
// each JPEG frame, decodes the frame, converts it to a 1280x960 RGB picture and hands it
// to the window through getImage(). While asked to, it also records the stream to MP4.
//
// Use: construct, set `url`, openStream() on the caller's thread, then start(); stop with
// stopRead(), quit() and wait(). An object opens one stream once.
class ReadThread : public QThread
{
    Q_OBJECT

public:
    explicit ReadThread(QObject *parent = nullptr);
    ~ReadThread() override;

    // Opens `url`, picks its first video stream and opens the decoder. Blocks while the
    // RTSP exchange and stream probing run (at most about 3 s without an answer).
    bool openStream();
    // Ends the frame loop and breaks off any read that is waiting for the network.
    // Returns at once.
    void stopRead();

    // Starts recording the stream as H.264 to the MP4 file `fileName` (on = true), or
    // ends the recording and completes its file (on = false). Switches between two
    // frames of the loop. Returns whether recording is on now: false after a start that
    // failed, which the debug log explains.
    bool setRecord(bool on, const QString &fileName);

    // The tilt-sensor block of one JPEG frame: finds it, sets isHaveDegree, writes the
    // standard Huffman table bytes back in its place and returns the angle (0 without a
    // block).
    int getPacketDegree(AVPacket *packet);
    int getDegree(int x, int y, int z);
    int calcDegree(int x, int y, int z);
    static int toSigned12(int value);

    static int interruptCallback(void *opaque);

    QString url;

signals:
    void getImage(QImage image, int degree, bool isHaveDegree, bool isMirror, bool autoMirror);

protected:
    void run() override;

private:
    // Tests and fuzz targets reach the frame path through this, without a network.
    friend struct ReadThreadTestAccess;

    bool openDecoder(AVStream *stream);
    void handlePacket(AVPacket *packet);
    bool startRecording(const QString &fileName);
    void stopRecording();
    void recordFrame();
    void writeEncodedPackets();

    QMutex mutex;
    av::InputContextPtr formatCtx;
    av::OutputContextPtr outFormatCtx;
    av::CodecContextPtr codecCtx;
    av::CodecContextPtr encoderCtx;
    av::FramePtr frame;
    av::FramePtr frameRGB;
    av::FramePtr frameYUV;
    av::PacketPtr recordPacket;
    av::BufferPtr rgbBuffer;
    PictureConverter swsCtx{AV_PIX_FMT_RGB24, 1280, 960};
    std::unique_ptr<PictureConverter> swsCtxYUV;
    AVStream *videoStream = nullptr;
    AVStream *outStream = nullptr;
    int srcWidth = 0;
    int srcHeight = 0;
    int dstWidth = 1280;
    int dstHeight = 960;
    int videoStreamIndex = -1;
    std::atomic<bool> running{false};
    bool recording = false;
    // The recording's timestamps count from its first picture, in the input's time base.
    int64_t recordFirstPts = AV_NOPTS_VALUE;
    int64_t recordLastPts = AV_NOPTS_VALUE;
    int64_t recordFrameDuration = 0; // the spacing of the last two pictures
    // Each reader has its own stop request, so stopping one can never be undone by the
    // construction of the next.
    std::atomic<bool> interruptFlag{false};
    // While a wait for the camera runs, the time (av_gettime_relative) after which it is
    // given up; 0 while none runs. FFmpeg's socket time-out covers the RTSP exchange but
    // not waiting for RTP packets over UDP: a camera that vanishes without closing its
    // connection would otherwise hold the read forever.
    std::atomic<int64_t> waitDeadline{0};
    bool isHaveDegree = false;
    bool isMirror = false;
    bool autoMirror = false;
    int lastDegree = 0;
};

#endif // READTHREAD_H
