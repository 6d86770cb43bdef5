#include "mainwindow.h"
#include "mainwindow_p.h"

#include "syncengine.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QScrollBar>
#include <QSpinBox>
#include <QSystemTrayIcon>
#include <QTextCursor>
#include <QTextEdit>

using namespace WindowDefaults;

void MainWindow::stopSync()
{
    syncEngine->stop();
}

void MainWindow::appendLog(const QString &message)
{
    const QString line = QStringLiteral("[%1] %2").arg(QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss")),
                                                       message);
    // inserted as plain text: a file name such as "<b>" must show as written
    QScrollBar *scroll = logView->verticalScrollBar();
    const bool atBottom = scroll->value() == scroll->maximum();
    QTextCursor cursor(logView->document());
    cursor.movePosition(QTextCursor::End);
    if (!logView->document()->isEmpty())
        cursor.insertBlock();
    cursor.insertText(line);
    if (atBottom)
        scroll->setValue(scroll->maximum());
}

void MainWindow::updateRunning(bool running)
{
    connectButton->setEnabled(!running);
    stopButton->setEnabled(running);
    for (QWidget *control : formFields())
        control->setEnabled(!running);
    statusLabel->setText(running ? QStringLiteral("Senkronizasyon etkin") : QStringLiteral("Durduruldu"));
    if (pauseAction)
        pauseAction->setText(running ? QStringLiteral("Senkronizasyonu Duraklat")
                                     : QStringLiteral("Senkronizasyonu Devam Ettir"));
    if (!running) {
        uploadRate = downloadRate = 0;
        uploadBytesThisSecond = downloadBytesThisSecond = 0;
        lastUploadProgress = lastDownloadProgress = 0;
        refreshTransferTitle();
    }
}

void MainWindow::updateUploadSpeed(qint64 sent, qint64 total)
{
    if (sent < 0)
        return;
    // a smaller value than before means a new transfer has started
    uploadBytesThisSecond += sent < lastUploadProgress ? sent : sent - lastUploadProgress;
    lastUploadProgress = (total > 0 && sent >= total) ? 0 : sent;
}

void MainWindow::updateDownloadSpeed(qint64 received, qint64 total)
{
    if (received < 0)
        return;
    downloadBytesThisSecond += received < lastDownloadProgress ? received : received - lastDownloadProgress;
    lastDownloadProgress = (total > 0 && received >= total) ? 0 : received;
}

void MainWindow::refreshTransferTitle()
{
    const QString up = QString::number(double(uploadRate) * (1.0 / 1048576.0), 'f', 2);
    const QString down = QString::number(double(downloadRate) * (1.0 / 1048576.0), 'f', 2);
    setWindowTitle(QStringLiteral("Zelnor Kumat Senkronizasyon — Yükleme: %1 MiB/sn | İndirme: %2 MiB/sn").arg(up, down));
    if (trayIcon)
        trayIcon->setToolTip(QStringLiteral("Zelnor Kumat Senkronizasyon\nYükleme: %1 MiB/sn | İndirme: %2 MiB/sn").arg(up, down));
}

void MainWindow::showSyncNotification(const QString &title, const QString &message, int severity)
{
    if (trayIcon && trayIcon->isVisible()) {
        if (severity >= 2)
            trayIcon->showMessage(title, message, QSystemTrayIcon::Critical, 8000);
        else if (severity == 1)
            trayIcon->showMessage(title, message, QSystemTrayIcon::Warning, 8000);
        else
            trayIcon->showMessage(title, message, QSystemTrayIcon::Information, 4000);
        return;
    }
    // Without a tray nothing here may wait for an answer: the pass that sent
    // this is still running, and a modal box would hold it and drop every later
    // pass until someone came back to the screen. Information goes to the status
    // line and the log; warnings and errors to one box that never blocks.
    if (severity <= 0) {
        appendLog(title + QStringLiteral(": ") + message);
        statusLabel->setText(title);
        return;
    }
    showNotice(title, message, severity);
}

void MainWindow::showNotice(const QString &title, const QString &text, int severity)
{
    // every notice reaches the log, so one the box does not show is not lost
    appendLog(title + QStringLiteral(": ") + text);
    severity = qMin(severity, 2);
    const QMessageBox::Icon icon = severity >= 2 ? QMessageBox::Critical : QMessageBox::Warning;
    if (!noticeBox || !noticeBox->isVisible()) {
        noticeSeverity = severity;
        noticeBox = openBox(this, icon, title, text);
        return;
    }
    // a box that is open keeps its most serious news
    if (severity < noticeSeverity)
        return;
    noticeSeverity = severity;
    noticeBox->setIcon(icon);
    noticeBox->setWindowTitle(title);
    noticeBox->setText(text);
    noticeBox->raise();
}

void MainWindow::toggleSyncFromTray()
{
    if (syncEngine->isRunning())
        syncEngine->stop();
    else
        connectAndStart();
}

void MainWindow::quitApplication()
{
    quitting = true;
    if (syncEngine->isRunning())
        syncEngine->stop();
    saveSettings(false);
    if (trayIcon)
        trayIcon->hide();
    hide();
    QCoreApplication::quit();
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    if (trayIcon && trayIcon->isVisible() && !quitting) {
        hide();
        trayIcon->showMessage(appTitle, QStringLiteral("Uygulama saat yanındaki simge alanında çalışmaya devam ediyor."),
                              QSystemTrayIcon::Information, 3000);
        event->ignore();
        return;
    }
    if (syncEngine->isRunning())
        syncEngine->stop();
    saveSettings(false);
    event->accept();
    // Without a tray nothing would be left to reopen the window or end the
    // process, so closing it ends the program.
    if (!trayIcon && !quitting) {
        quitting = true;
        QCoreApplication::quit();
    }
}
