#include "mainwindow.h"

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
{
    setWindowTitle(QStringLiteral("Zelnor Kumat Senkronizasyon"));
    resize(760, 590);
}

void MainWindow::checkForUpdatesClicked()
{
}
