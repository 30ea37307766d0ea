#ifndef FRAMECOLLECTOR_H
#define FRAMECOLLECTOR_H

#include <QElapsedTimer>
#include <QImage>
#include <QObject>
#include <QVector>

// Receives the frame signal of a worker and keeps every picture, with the time it came.
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
    }

    QVector<Frame> frames;
    QElapsedTimer clock;

public slots:
    void receive(QImage image, int degree, bool isHaveDegree, bool isMirror, bool autoMirror)
    {
        frames.append({image, degree, isHaveDegree, isMirror, autoMirror, clock.elapsed()});
    }
};

#endif // FRAMECOLLECTOR_H
