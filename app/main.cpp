#include "app/mainwindow.h"
#include "app/quitonsignals.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QuitOnSignals quitOnSignals;
    MainWindow window;
    window.show();
    return app.exec();
}
