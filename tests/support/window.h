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

#endif // WINDOW_H
