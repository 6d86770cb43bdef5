#pragma once

#include <QMainWindow>

// Placeholder window until the form, tray and wiring exist.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);

private Q_SLOTS:
    void checkForUpdatesClicked();
};
