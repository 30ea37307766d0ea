#ifndef MAINWINDOWFORM_H
#define MAINWINDOWFORM_H

class QGridLayout;
class QGroupBox;
class QHBoxLayout;
class QMainWindow;
class QPushButton;
class QSpacerItem;
class QVBoxLayout;
class QWidget;

// The main window's widget tree: the video area on the left, the "Camera" group with its
// column of five buttons on the right. Holds pointers only; the widgets belong to the window.
class MainWindowForm
{
public:
    QWidget *centralWidget = nullptr;
    QHBoxLayout *horizontalLayout = nullptr;
    QGridLayout *videoLayout = nullptr;
    QGroupBox *groupBox = nullptr;
    QVBoxLayout *verticalLayout = nullptr;
    QPushButton *pbStart = nullptr;
    QPushButton *pbStartRecord = nullptr;
    QPushButton *pbSaveImage = nullptr;
    QPushButton *pbPlayBack = nullptr;
    QPushButton *pushButton = nullptr;
    QSpacerItem *verticalSpacer = nullptr;

    // Builds the tree on the window and binds each button's clicked() to the window's
    // on_<objectName>_clicked() slot.
    void setupUi(QMainWindow *mainWindow);
    // Sets the seven translatable texts, looked up in the context "MainWindow".
    void retranslateUi(QMainWindow *mainWindow);
};

#endif // MAINWINDOWFORM_H
