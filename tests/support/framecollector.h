#ifndef FRAMECOLLECTOR_H
#define FRAMECOLLECTOR_H

#include <QElapsedTimer>
#include <QImage>
#include <QObject>
#include <QVector>

#include <atomic>

// Receives the frame signal of a worker on the test's thread and keeps every frame.
// `emitted` counts emissions on the worker's own thread, before the queue.
class FrameCollector : public QObject
{
    Q_OBJECT

public:
    struct Frame
    {
        QImage image;
        int degree;
        bool isHaveDegree;
        bool isMirror;
        bool autoMirror;
        qint64 arrivedMs;
    };

    template <typename Worker>
    explicit FrameCollector(Worker *worker)
    {
        clock.start();
        connect(worker, &Worker::getImage, this, &FrameCollector::receive);
        connect(worker, &Worker::getImage, this, [this] { ++emitted; }, Qt::DirectConnection);
    }

    QVector<Frame> frames;
    std::atomic<int> emitted{0};
    QElapsedTimer clock;

public slots:
    void receive(QImage image, int degree, bool isHaveDegree, bool isMirror, bool autoMirror)
    {
        frames.append({image, degree, isHaveDegree, isMirror, autoMirror, clock.elapsed()});
    }
};

#endif // FRAMECOLLECTOR_H
