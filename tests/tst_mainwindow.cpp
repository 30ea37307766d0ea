#include "app/mainwindow.h"
#include "app/mainwindowform.h"
#include "display/videodisplaywidget.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QVBoxLayout>
#include <QtTest>

// The window as it stands after construction: its form, size, title and idle buttons.
class tst_MainWindow : public QObject
{
    Q_OBJECT

private slots:
    void formTree();
    void fixedSizeAndLayout();
    void idleButtons();
    void buttonsBoundByName();
    void existingObjectNameKept();
    void suggestedNames_data();
    void suggestedNames();
    void fullScreenAndZoomKeys_data();
    void fullScreenAndZoomKeys();
};

void tst_MainWindow::formTree()
{
    MainWindow window;
    QCOMPARE(window.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(window.windowTitle(), QStringLiteral("Velmora PC wireless"));

    auto *central = window.findChild<QWidget *>(QStringLiteral("centralWidget"));
    QVERIFY(central);
    QCOMPARE(window.centralWidget(), central);
    auto *horizontal = window.findChild<QHBoxLayout *>(QStringLiteral("horizontalLayout"));
    QVERIFY(horizontal);
    QCOMPARE(horizontal->spacing(), 6);
    QCOMPARE(horizontal->contentsMargins(), QMargins(11, 11, 11, 11));
    QCOMPARE(horizontal->count(), 2);
    auto *video = window.findChild<QGridLayout *>(QStringLiteral("videoLayout"));
    QVERIFY(video);
    QCOMPARE(horizontal->itemAt(0)->layout(), video);

    auto *group = window.findChild<QGroupBox *>(QStringLiteral("groupBox"));
    QVERIFY(group);
    QCOMPARE(horizontal->itemAt(1)->widget(), group);
    QCOMPARE(group->title(), QStringLiteral("Camera"));
    QCOMPARE(group->maximumSize(), QSize(150, 16777215));
    QCOMPARE(group->sizePolicy().horizontalPolicy(), QSizePolicy::Maximum);
    QCOMPARE(int(group->alignment()), 129);

    auto *column = window.findChild<QVBoxLayout *>(QStringLiteral("verticalLayout"));
    QVERIFY(column);
    QCOMPARE(column->count(), 6);
    const char *names[] = {"pbStart", "pbStartRecord", "pbSaveImage", "pbPlayBack", "pushButton"};
    for (int i = 0; i < 5; ++i) {
        auto *button = qobject_cast<QPushButton *>(column->itemAt(i)->widget());
        QVERIFY(button);
        QCOMPARE(button->objectName(), QString::fromLatin1(names[i]));
        QCOMPARE(button->parentWidget(), group);
    }
    QSpacerItem *spacer = column->itemAt(5)->spacerItem();
    QVERIFY(spacer);
    QCOMPARE(spacer->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);
}

void tst_MainWindow::fixedSizeAndLayout()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.size(), QSize(800, 500));
    QCOMPARE(window.minimumSize(), QSize(800, 500));
    QCOMPARE(window.maximumSize(), QSize(800, 500));
    window.resize(1024, 768);
    QCOMPARE(window.size(), QSize(800, 500));

    auto *video = window.findChild<QGridLayout *>(QStringLiteral("videoLayout"));
    QCOMPARE(video->count(), 1);
    auto *display = qobject_cast<VideoDisplayWidget *>(video->itemAt(0)->widget());
    QVERIFY(display);
    QCOMPARE(display->parentWidget(), window.centralWidget());
    QCOMPARE(display->size(), QSize(640, 480));

    // The display on the left, the button column to its right, both inside the window.
    auto *group = window.findChild<QGroupBox *>(QStringLiteral("groupBox"));
    QVERIFY(display->geometry().right() < group->geometry().left());
    QVERIFY(group->geometry().right() < 800);
    QVERIFY(group->width() <= 150);
}

void tst_MainWindow::idleButtons()
{
    MainWindow window;
    // Each tooltip names the button's key.
    struct Expected { const char *name; const char *text; bool enabled; const char *key; };
    const Expected expected[] = {
        {"pbStart", "Start", true, "(F5)"},
        {"pbStartRecord", "StartRecord", false, "(R)"},
        {"pbSaveImage", "SaveImage", false, "(S)"},
        {"pbPlayBack", "StartReplay", false, "(P)"}, // nothing to replay yet
        {"pushButton", "Mirror", true, "(M)"},
    };
    for (const Expected &e : expected) {
        auto *button = window.findChild<QPushButton *>(QString::fromLatin1(e.name));
        QVERIFY(button);
        QCOMPARE(button->text(), QString::fromLatin1(e.text));
        QCOMPARE(button->isEnabled(), e.enabled);
        QVERIFY2(button->toolTip().endsWith(QLatin1String(e.key)), qPrintable(button->toolTip()));
    }
}

void tst_MainWindow::buttonsBoundByName()
{
    MainWindow window;
    // Each button's clicked() is bound to the slot named after it, with no explicit connect.
    for (const char *name : {"pbStart", "pbStartRecord", "pbSaveImage", "pbPlayBack", "pushButton"}) {
        auto *button = window.findChild<QPushButton *>(QString::fromLatin1(name));
        const QByteArray slot = QByteArray("on_") + name + "_clicked()";
        QVERIFY2(window.metaObject()->indexOfSlot(slot.constData()) >= 0, slot.constData());
        QVERIFY2(QObject::disconnect(button, &QPushButton::clicked, &window, nullptr), name);
        QVERIFY(!QObject::disconnect(button, &QPushButton::clicked, &window, nullptr));
        QMetaObject::connectSlotsByName(&window);
    }

    auto *display = window.findChild<VideoDisplayWidget *>();
    auto *mirror = window.findChild<QPushButton *>(QStringLiteral("pushButton"));
    QCOMPARE(display->isMirrored(), false);
    QTest::mouseClick(mirror, Qt::LeftButton);
    QCOMPARE(display->isMirrored(), true);
    QTest::mouseClick(mirror, Qt::LeftButton);
    QCOMPARE(display->isMirrored(), false);
}

void tst_MainWindow::existingObjectNameKept()
{
    QMainWindow named;
    named.setObjectName(QStringLiteral("inspection"));
    MainWindowForm form;
    form.setupUi(&named);
    QCOMPARE(named.objectName(), QStringLiteral("inspection"));

    QMainWindow unnamed;
    MainWindowForm other;
    other.setupUi(&unnamed);
    QCOMPARE(unnamed.objectName(), QStringLiteral("MainWindow"));
    QCOMPARE(unnamed.windowTitle(), QStringLiteral("MainWindow"));
    QCOMPARE(other.pbStart->text(), QStringLiteral("start"));
}

void tst_MainWindow::suggestedNames_data()
{
    QTest::addColumn<QStringList>("existing");
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QString>("suggested");
    QTest::newRow("free") << QStringList() << "jpg" << "velmora-2026-12-08_14-03-22.jpg";
    QTest::newRow("taken") << QStringList{"velmora-2026-12-08_14-03-22.jpg"} << "jpg" << "velmora-2026-12-08_14-03-22-2.jpg";
    QTest::newRow("taken twice") << QStringList{"velmora-2026-12-08_14-03-22.mp4", "velmora-2026-12-08_14-03-22-2.mp4"}
                                 << "mp4" << "velmora-2026-12-08_14-03-22-3.mp4";
    QTest::newRow("other kind") << QStringList{"velmora-2026-12-08_14-03-22.jpg"} << "mp4" << "velmora-2026-12-08_14-03-22.mp4";
}

// The save dialogs' suggestions: the date and time, with a counter rather than over a file.
void tst_MainWindow::suggestedNames()
{
    QFETCH(QStringList, existing);
    QFETCH(QString, suffix);
    QFETCH(QString, suggested);
    QTemporaryDir dir;
    for (const QString &name : existing) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const QDateTime now(QDate(2026, 12, 8), QTime(14, 3, 22));
    QCOMPARE(MainWindow::suggestedPath(dir.path(), suffix, now), dir.filePath(suggested));
}

void tst_MainWindow::fullScreenAndZoomKeys_data()
{
    QTest::addColumn<QString>("enter"); // F11, or a double-click on the picture
    QTest::addColumn<QString>("leave"); // F11, Esc, or a double-click again
    QTest::newRow("F11, F11") << "F11" << "F11";
    QTest::newRow("F11, Esc") << "F11" << "Esc";
    QTest::newRow("double-click, double-click") << "click" << "click";
    QTest::newRow("double-click, Esc") << "click" << "Esc";
}

// Full screen shows the picture alone, on the whole screen; back in the window, everything
// is as it was. The zoom keys work in either.
void tst_MainWindow::fullScreenAndZoomKeys()
{
    QFETCH(QString, enter);
    QFETCH(QString, leave);
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto *display = window.findChild<VideoDisplayWidget *>();
    auto *group = window.findChild<QGroupBox *>(QStringLiteral("groupBox"));
    const QPoint place = window.pos();
    auto press = [&](const QString &how) {
        if (how == QLatin1String("click"))
            QTest::mouseDClick(display, Qt::LeftButton, Qt::NoModifier, QPoint(300, 200));
        else
            QTest::keyClick(&window, how == QLatin1String("Esc") ? Qt::Key_Escape : Qt::Key_F11);
    };

    QTest::keyClick(&window, Qt::Key_Escape); // only leaves full screen
    QCOMPARE(window.size(), QSize(800, 500));
    press(enter);
    QTRY_VERIFY(window.isFullScreen());
    QTRY_COMPARE(window.size(), window.screen()->size());
    QVERIFY(!group->isVisible());
    QTRY_COMPARE(display->size(), window.size());
    QTest::keyClick(&window, Qt::Key_Plus);
    QTest::keyClick(&window, Qt::Key_Plus);
    QCOMPARE(display->zoom(), 1.5625);
    QTest::keyClick(&window, Qt::Key_Minus);
    QCOMPARE(display->zoom(), 1.25);

    press(leave);
    QTRY_VERIFY(!window.isFullScreen());
    QTRY_COMPARE(window.size(), QSize(800, 500));
    QCOMPARE(window.minimumSize(), QSize(800, 500));
    QCOMPARE(window.maximumSize(), QSize(800, 500));
    QCOMPARE(window.pos(), place);
    QVERIFY(group->isVisible());
    QCOMPARE(display->size(), QSize(640, 480));
    QCOMPARE(display->zoom(), 1.25);
    QTest::keyClick(&window, Qt::Key_0);
    QCOMPARE(display->zoom(), 1.0);
}

QTEST_MAIN(tst_MainWindow)
#include "tst_mainwindow.moc"
