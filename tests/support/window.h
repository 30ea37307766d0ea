#ifndef WINDOW_H
#define WINDOW_H

#include <QPushButton>
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

// The states a user meets, by their buttons. The mirror works in all of them.
inline const QString Idle = QStringLiteral("Start StartRecord(off) SaveImage(off) StartReplay Mirror");
inline const QString Connecting = QStringLiteral("Stop StartRecord(off) SaveImage(off) StartReplay Mirror");
inline const QString Live = QStringLiteral("Stop StartRecord SaveImage StartReplay(off) Mirror");
inline const QString RecordingOn = QStringLiteral("Stop(off) StopRecord SaveImage StartReplay(off) Mirror");
inline const QString Replaying = QStringLiteral("Start(off) StartRecord(off) SaveImage(off) StopReplay Mirror");

#endif // WINDOW_H
