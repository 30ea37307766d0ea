#ifndef DIALOGS_H
#define DIALOGS_H

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>
#include <memory>

// Answers the next modal dialog the code under test opens, from a timer, since the
// dialog's own event loop holds the test until it closes. `answer` returns false for a
// dialog it does not handle. The timer goes once it has answered; deleting it earlier
// gives up waiting.
inline QTimer *whenModal(std::function<bool(QWidget *)> answer)
{
    auto *timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, answer] {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible() || !answer(modal))
            return;
        timer->stop();
        timer->deleteLater();
    });
    timer->start(10);
    return timer;
}

// A home of its own for a test, with a desktop in it, where the save dialogs open.
struct TestHome
{
    QTemporaryDir home;
    TestHome()
    {
        qputenv("HOME", QFile::encodeName(home.path()));
        QDir(home.path()).mkdir(QStringLiteral("Desktop"));
    }
    QString desktop() const { return QDir(home.path()).filePath(QStringLiteral("Desktop")); }
};

// A save dialog as the user saw it: its caption, its filter, the directory it opened in
// and the name it suggested. Like SeenMessage below, it stops waiting when it goes.
struct SeenSaveDialog
{
    QString caption;
    QString filter;
    QString directory;
    QString suggested;
    bool seen = false;
    QPointer<QTimer> watcher;
    ~SeenSaveDialog() { delete watcher.data(); }
};

// Types `path` into the next save dialog and accepts it; an empty path cancels it, and
// `accept` accepts the name the dialog suggests, as pressing Enter does.
inline void answerSaveDialog(const QString &path, SeenSaveDialog *seen = nullptr, bool accept = false)
{
    QTimer *watcher = whenModal([=](QWidget *modal) {
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        auto *name = dialog ? dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")) : nullptr;
        if (!name)
            return false;
        if (seen) {
            seen->caption = dialog->windowTitle();
            seen->filter = dialog->nameFilters().join(QLatin1Char(';'));
            seen->directory = dialog->directory().absolutePath();
            seen->suggested = name->text();
            seen->seen = true;
        }
        if (!accept && path.isEmpty()) {
            dialog->reject();
        } else {
            // As a user types it. selectFile() leaves the name field alone once it has focus.
            if (!accept)
                name->setText(path);
            // QFileDialog::accept() is protected; QDialog's is public and virtual.
            static_cast<QDialog *>(dialog)->accept();
            // Qt asks first whether to replace a file that is there (answerReplaceQuestion());
            // after a No the dialog stays open, and the user gives up.
            if (dialog->isVisible())
                dialog->reject();
        }
        return true;
    });
    if (seen)
        seen->watcher = watcher;
}

// Answers the question a save dialog asks when the chosen file is there already: replace
// it or not. Deleting the timer returned gives up waiting for it.
inline QTimer *answerReplaceQuestion(bool replace)
{
    return whenModal([replace](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        if (!box || !box->button(QMessageBox::Yes) || !box->button(QMessageBox::No))
            return false;
        box->button(replace ? QMessageBox::Yes : QMessageBox::No)->click();
        return true;
    });
}

// A message box as the user saw it. While it waits for a box, it stops waiting when it
// goes, so that a box that never came cannot be answered into a gone object.
struct SeenMessage
{
    QString title;
    QString text;
    QString informative; // the line under the text
    QMessageBox::StandardButtons buttons;
    bool seen = false;
    QPointer<QTimer> watcher;
    ~SeenMessage() { delete watcher.data(); }
};

// Reads the next message box and presses its OK button.
inline void answerMessageBox(SeenMessage *seen)
{
    seen->watcher = whenModal([seen](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        if (!box)
            return false;
        seen->title = box->windowTitle();
        seen->text = box->text();
        seen->informative = box->informativeText();
        seen->buttons = box->standardButtons();
        seen->seen = true;
        box->button(QMessageBox::Ok)->click();
        return true;
    });
}

// Presses OK in every message box that has one, from now until the timer returned is
// deleted: `delayMs()` after the box came up, as a user who reads it first. `seen` is told
// of each box before it goes.
inline QTimer *answerEveryMessageBox(std::function<int()> delayMs, std::function<void(const QMessageBox &)> seen)
{
    struct Waiting
    {
        QPointer<QMessageBox> box;
        QElapsedTimer since;
        int delayMs = 0;
    };
    auto waiting = std::make_shared<Waiting>();
    auto *timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [=] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible() || !box->button(QMessageBox::Ok))
            return;
        if (waiting->box != box) {
            waiting->box = box;
            waiting->since.start();
            waiting->delayMs = delayMs();
        }
        if (waiting->since.elapsed() < waiting->delayMs)
            return;
        seen(*box);
        box->button(QMessageBox::Ok)->click();
    });
    timer->start(10);
    return timer;
}

#endif // DIALOGS_H
