#ifndef WINDOW_H
#define WINDOW_H

#include <QApplication>
#include <QMouseEvent>
#include <QPushButton>
#include <QWheelEvent>
#include <QtTest>

// The window's buttons, found and clicked by their object names as a user would.
inline QPushButton *button(const QWidget &window, const char *name)
{
    return window.findChild<QPushButton *>(QString::fromLatin1(name));
}

inline void click(const QWidget &window, const char *name)
{
    QTest::mouseClick(button(window, name), Qt::LeftButton);
}

// Texts and enabled states of the five buttons, as one line to compare.
inline QString buttons(const QWidget &window)
{
    QStringList states;
    for (const char *name : {"pbStart", "pbStartRecord", "pbSaveImage", "pbPlayBack", "pushButton"}) {
        const QPushButton *b = button(window, name);
        states << b->text() + (b->isEnabled() ? QString() : QStringLiteral("(off)"));
    }
    return states.join(QLatin1Char(' '));
}

// Clicks Start and waits until the live view is on, which is once the camera's first
// picture has come: the stream is opened on the reader's own thread.
inline bool startLive(QWidget &window, int timeoutMs = 10000)
{
    click(window, "pbStart");
    return QTest::qWaitFor([&window] { return button(window, "pbStartRecord")->isEnabled(); }, timeoutMs);
}

// The mouse on a widget, as QTest has no wheel and moves no mouse with a button held.
inline void turnWheel(QWidget *widget, const QPoint &at, int notches)
{
    QWheelEvent wheel(at, widget->mapToGlobal(at), QPoint(), QPoint(0, 120 * notches), Qt::NoButton, Qt::NoModifier,
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(widget, &wheel);
}

inline void drag(QWidget *widget, const QPoint &from, const QPoint &to, int steps = 4)
{
    QTest::mousePress(widget, Qt::LeftButton, Qt::NoModifier, from);
    for (int step = 1; step <= steps; ++step) {
        const QPoint at = from + (to - from) * step / steps;
        QMouseEvent move(QEvent::MouseMove, at, widget->mapToGlobal(at), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(widget, &move);
    }
    QTest::mouseRelease(widget, Qt::LeftButton, Qt::NoModifier, to);
}

// The states a user meets, by their buttons. The mirror works in all of them.
// StartReplay is on once there is something to replay: a file recorded or replayed.
inline const QString Idle = QStringLiteral("Start StartRecord(off) SaveImage(off) StartReplay(off) Mirror");
inline const QString IdleWithRecording = QStringLiteral("Start StartRecord(off) SaveImage(off) StartReplay Mirror");
inline const QString Connecting = QStringLiteral("Stop StartRecord(off) SaveImage(off) StartReplay(off) Mirror");
inline const QString ConnectingWithRecording = QStringLiteral("Stop StartRecord(off) SaveImage(off) StartReplay Mirror");
inline const QString Live = QStringLiteral("Stop StartRecord SaveImage StartReplay(off) Mirror");
inline const QString RecordingOn = QStringLiteral("Stop(off) StopRecord SaveImage StartReplay(off) Mirror");
inline const QString Replaying = QStringLiteral("Start(off) StartRecord(off) SaveImage StopReplay Mirror");

// The name of the state the buttons show; empty for none of them.
inline QString stateName(const QWidget &window)
{
    const QString shown = buttons(window);
    const struct
    {
        const QString &buttons;
        const char *name;
    } states[] = {{Idle, "Idle"}, {IdleWithRecording, "IdleWithRecording"}, {Connecting, "Connecting"},
                  {ConnectingWithRecording, "ConnectingWithRecording"}, {Live, "Live"}, {RecordingOn, "RecordingOn"},
                  {Replaying, "Replaying"}};
    for (const auto &state : states) {
        if (state.buttons == shown)
            return QLatin1String(state.name);
    }
    return QString();
}

#endif // WINDOW_H
