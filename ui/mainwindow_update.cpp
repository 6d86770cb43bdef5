#include "mainwindow.h"
#include "mainwindow_p.h"

#include "syncengine.h"
#include "updatemanager.h"

#include <QAction>
#include <QCoreApplication>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QProgressDialog>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>

using namespace WindowDefaults;

void MainWindow::checkForUpdatesClicked()
{
    updateButton->setEnabled(false);
    if (trayUpdateAction)
        trayUpdateAction->setEnabled(false);
    updateManager->checkForUpdates(manifestUrl());
    QTimer::singleShot(20000, Qt::CoarseTimer, this, [this] {
        updateButton->setEnabled(true);
        if (trayUpdateAction)
            trayUpdateAction->setEnabled(true);
    });
}

void MainWindow::offerUpdate(const QString &version, const QString &notes)
{
    const QString title = QStringLiteral("Güncelleme var");
    const QString announcement = QStringLiteral("Zelnor Kumat Senkronizasyon %1 sürümü hazır.").arg(version);
    if (trayIcon && trayIcon->isVisible())
        trayIcon->showMessage(title, announcement, QSystemTrayIcon::Information, 4000);
    else
        showBox(this, QMessageBox::Information, title, announcement);

    const QString question = QStringLiteral("Zelnor Kumat Senkronizasyon %1 sürümü hazır.%2\n\nŞimdi indirip kurmak ister misiniz?")
                                 .arg(version, notes.isEmpty() ? QString() : QStringLiteral("\n\n") + notes);
    const auto answer = showBox(this, QMessageBox::Question, title, question, QMessageBox::Yes | QMessageBox::No);
    if (answer != QMessageBox::Yes) {
        statusLabel->setText(QStringLiteral("Güncel (") + version + u')');
        return;
    }
    if (!progressDialog) {
        progressDialog = new QProgressDialog(this);
        progressDialog->setLabelText(QStringLiteral("Güncelleme indiriliyor..."));
        progressDialog->setRange(0, 0);
        progressDialog->setWindowTitle(appTitle);
        progressDialog->setCancelButton(nullptr);
        progressDialog->setAutoClose(false);
        progressDialog->show();
    }
    updateManager->downloadUpdate();
}

void MainWindow::updateProgress(qint64 received, qint64 total)
{
    if (total <= 0 || !progressDialog)
        return;
    const int percent = int(received * 100 / total);
    progressDialog->setRange(0, 100);
    progressDialog->setValue(percent);
    progressDialog->setLabelText(QStringLiteral("Güncelleme indiriliyor... %1%").arg(percent));
}

void MainWindow::launchUpdater(const QString &installerPath)
{
    if (progressDialog) {
        progressDialog->close();
        progressDialog->deleteLater();
        progressDialog = nullptr;
    }
    if (syncEngine->isRunning())
        syncEngine->stop();
    const QStringList arguments{QStringLiteral("--update"), QStringLiteral("--wait-pid"),
                                QString::number(QCoreApplication::applicationPid())};
    if (!QProcess::startDetached(installerPath, arguments)) {
        showBox(this, QMessageBox::Critical, QStringLiteral("Güncelleme hatası"),
                QStringLiteral("Güncelleme programı başlatılamadı."));
        return;
    }
    // The way the tray's exit entry leaves: a close would be taken for hiding
    // to the tray and could refuse the quit, leaving the installer waiting.
    quitApplication();
}
