#ifndef QUITONSIGNALS_H
#define QUITONSIGNALS_H

#include <QObject>

class QSocketNotifier;

// Ends the program's event loop when the system asks the program to end (SIGTERM at a
// logout, SIGINT for Ctrl+C in a terminal), so that it ends as closing its window ends
// it: the recording is completed and the camera released.
class QuitOnSignals : public QObject
{
    Q_OBJECT

public:
    explicit QuitOnSignals(QObject *parent = nullptr);
    ~QuitOnSignals() override;

private:
#ifdef Q_OS_UNIX
    static void handle(int signal);
    void quit();

    QSocketNotifier *notifier = nullptr;
#endif
};

#endif // QUITONSIGNALS_H
