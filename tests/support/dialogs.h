#ifndef DIALOGS_H
#define DIALOGS_H

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

#include <functional>

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

// Types `path` into the next save dialog and accepts it; an empty path cancels it.
inline void answerSaveDialog(const QString &path, QString *caption = nullptr, QString *filter = nullptr)
{
    whenModal([=](QWidget *modal) {
        auto *dialog = qobject_cast<QFileDialog *>(modal);
        if (!dialog)
            return false;
        if (caption)
            *caption = dialog->windowTitle();
        if (filter)
            *filter = dialog->nameFilters().join(QLatin1Char(';'));
        if (path.isEmpty()) {
            dialog->reject();
        } else {
            // As a user types it. selectFile() leaves the name field alone once it has focus.
            auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            if (!name)
                return false;
            name->setText(path);
            // QFileDialog::accept() is protected; QDialog's is public and virtual.
            static_cast<QDialog *>(dialog)->accept();
        }
        return true;
    });
}

// A message box as the user saw it. While it waits for a box, it stops waiting when it
// goes, so that a box that never came cannot be answered into a gone object.
struct SeenMessage
{
    QString title;
    QString text;
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
        seen->buttons = box->standardButtons();
        seen->seen = true;
        box->button(QMessageBox::Ok)->click();
        return true;
    });
}

#endif // DIALOGS_H
