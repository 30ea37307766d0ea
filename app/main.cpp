#include "app/mainwindow.h"
#include "app/quitonsignals.h"

#include <QApplication>
#include <QCommandLineParser>

int main(int argc, char *argv[])
{
    // On the laptops' 125 % and 150 % screens the window grows by the screen's own factor
    // rather than a whole one, its text fits its buttons, and the picture is drawn with the
    // screen's every pixel. Set before the application object exists, as Qt requires.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QGuiApplication::setHighDpiScaleFactorRoundingPolicy(Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    QApplication app(argc, argv);
    QuitOnSignals quitOnSignals;

    // velmora [FILE]: a video to replay, as a file manager's "Open with" gives it.
    QCommandLineParser arguments;
    arguments.addHelpOption();
    arguments.addPositionalArgument(QStringLiteral("file"), QStringLiteral("A recording to replay."), QStringLiteral("[file]"));
    arguments.process(app);

    MainWindow window;
    window.show();
    if (!arguments.positionalArguments().isEmpty())
        window.replayFile(arguments.positionalArguments().constFirst());
    return app.exec();
}
