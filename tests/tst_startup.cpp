#include "app/mainwindow.h"
#include "support/window.h"

#include <QFileInfo>
#include <QGroupBox>
#include <QPushButton>
#include <QtTest>

// Start-up follows the system language. Each function runs as its own CTest entry with
// the matching LC_ALL; the "without translation" entry runs a copy of this executable
// from a directory that holds neither qmain_zh.qm nor icon.png.
namespace {

QStringList logLines;

void collect(QtMsgType, const QMessageLogContext &, const QString &message)
{
    logLines << message;
}

QString besideExecutable(const char *name)
{
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + QLatin1String(name);
}

} // namespace

class tst_Startup : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        logLines.clear();
        qInstallMessageHandler(collect);
    }
    void cleanup() { qInstallMessageHandler(nullptr); }

    void english();
    void chinese();
    void chineseWithoutTranslation();
};

void tst_Startup::english()
{
    QCOMPARE(QLocale().language(), QLocale::English);
    {
        MainWindow window;
        QCOMPARE(logLines, QStringList{QStringLiteral("language is  31\n")});
        QCOMPARE(window.windowTitle(), QStringLiteral("Velmora PC wireless"));
        QVERIFY(window.windowIcon().availableSizes().isEmpty());
        QCOMPARE(button(window, "pbStart")->text(), QStringLiteral("Start"));
        QCOMPARE(button(window, "pushButton")->text(), QStringLiteral("Mirror"));
        // The translation beside the executable was not loaded.
        QCOMPARE(QCoreApplication::translate("QObject", "Start"), QStringLiteral("Start"));
    }
}

void tst_Startup::chinese()
{
    QCOMPARE(QLocale().language(), QLocale::Chinese);
    QVERIFY(QFileInfo::exists(besideExecutable("qmain_zh.qm")));
    {
        MainWindow window;
        QCOMPARE(logLines, QStringList{QStringLiteral("language is  25\n")});
        QCOMPARE(window.windowTitle(), QStringLiteral("Velmora PC 无线版"));
        QVERIFY(window.windowIcon().availableSizes().contains(QSize(64, 64)));

        // The form's texts come from the "MainWindow" context, the button rules' texts
        // from "QObject".
        QCOMPARE(window.findChild<QGroupBox *>(QStringLiteral("groupBox"))->title(), QStringLiteral("摄像头"));
        QCOMPARE(button(window, "pbSaveImage")->text(), QStringLiteral("保存图片"));
        QCOMPARE(button(window, "pushButton")->text(), QStringLiteral("镜像"));
        QCOMPARE(button(window, "pbStart")->text(), QStringLiteral("开始"));
        QCOMPARE(button(window, "pbStartRecord")->text(), QStringLiteral("开始录像"));
        QCOMPARE(button(window, "pbPlayBack")->text(), QStringLiteral("开始回放"));
        QCOMPARE(QObject::tr("Warning"), QStringLiteral("警告"));
        QCOMPARE(QObject::tr("Camera lost, reconnecting..."), QStringLiteral("摄像头连接中断，正在重新连接..."));
        QCOMPARE(QObject::tr("REC %1 · %2"), QStringLiteral("录像 %1 · %2"));
        QCOMPARE(window.findChild<QPushButton *>(QStringLiteral("pbSaveImage"))->toolTip(), QStringLiteral("保存下一幅画面（S）"));
    }
    // The translator leaves the application with the window.
    QCOMPARE(QObject::tr("Warning"), QStringLiteral("Warning"));
}

void tst_Startup::chineseWithoutTranslation()
{
    QCOMPARE(QLocale().language(), QLocale::Chinese);
    const QString path = besideExecutable("qmain_zh.qm");
    QVERIFY(!QFileInfo::exists(path));

    MainWindow window;
    QCOMPARE(logLines, (QStringList{QStringLiteral("language is  25\n"),
                                    QStringLiteral("not findf %1\n").arg(path)}));
    QCOMPARE(window.windowTitle(), QStringLiteral("Velmora PC wireless"));
    QCOMPARE(button(window, "pbStart")->text(), QStringLiteral("Start"));
    QCOMPARE(button(window, "pbSaveImage")->text(), QStringLiteral("SaveImage"));
    // The icon is set from its path all the same; without the file it holds no picture.
    QVERIFY(window.windowIcon().pixmap(64, 64).isNull());
}

QTEST_MAIN(tst_Startup)
#include "tst_startup.moc"
