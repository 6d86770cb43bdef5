#include "mainwindow.h"
#include "mainwindow_p.h"

#include "syncengine.h"
#include "updatemanager.h"

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QProgressDialog>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>

using namespace WindowDefaults;

namespace {

QString updateTitle()
{
    return QStringLiteral("Güncelleme var");
}

} // namespace

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
    // A daily check can finish while a pass waits for the server: the offer
    // opens its boxes and returns, and the answer carries on from there.
    // While the accepted download runs, a later check has nothing to offer.
    if (progressDialog)
        return;
    offeredVersion = version;
    offeredNotes = notes;
    const bool tray = trayIcon && trayIcon->isVisible();
    if (tray)
        trayIcon->showMessage(updateTitle(), announcementText(), QSystemTrayIcon::Information, 4000);
    if (offerBox) {
        // one offer on screen, telling of the newest release
        offerBox->setText(offerBox->icon() == QMessageBox::Question ? questionText() : announcementText());
        return;
    }
    if (tray) {
        askToInstall();
        return;
    }
    // without a tray the announcement is a box of its own, acknowledged before the question
    offerBox = openBox(this, QMessageBox::Information, updateTitle(), announcementText());
    QMessageBox *announcement = offerBox;
    connect(announcement, &QMessageBox::finished, this, [this, announcement] {
        if (offerBox == announcement)
            askToInstall();
    });
}

QString MainWindow::announcementText() const
{
    return QStringLiteral("Zelnor Kumat Senkronizasyon %1 sürümü hazır.").arg(offeredVersion);
}

QString MainWindow::questionText() const
{
    return QStringLiteral("Zelnor Kumat Senkronizasyon %1 sürümü hazır.%2\n\nŞimdi indirip kurmak ister misiniz?")
        .arg(offeredVersion, offeredNotes.isEmpty() ? QString() : QStringLiteral("\n\n") + offeredNotes);
}

void MainWindow::askToInstall()
{
    offerBox = openBox(this, QMessageBox::Question, updateTitle(), questionText(), QMessageBox::Yes | QMessageBox::No);
    QMessageBox *question = offerBox;
    connect(question, &QMessageBox::finished, this, [this, question] {
        if (offerBox != question)
            return;
        offerBox = nullptr;
        // closing the box some other way counts as no
        if (question->standardButton(question->clickedButton()) != QMessageBox::Yes) {
            statusLabel->setText(QStringLiteral("Güncel (") + offeredVersion + u')');
            return;
        }
        if (!progressDialog) {
            progressDialog = new QProgressDialog(this);
            // not modal: a modal progress dialog runs the event loop on every step
            progressDialog->setWindowModality(Qt::NonModal);
            progressDialog->setLabelText(QStringLiteral("Güncelleme indiriliyor..."));
            progressDialog->setRange(0, 0);
            progressDialog->setWindowTitle(appTitle);
            progressDialog->setCancelButton(nullptr);
            progressDialog->setAutoClose(false);
            progressDialog->show();
        }
        updateManager->downloadUpdate();
    });
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
    // The installation this program runs from is the one updated, wherever
    // the installer last registered one.
    const QStringList arguments{QStringLiteral("--update"), QStringLiteral("--wait-pid"),
                                QString::number(QCoreApplication::applicationPid()), QStringLiteral("--target"),
                                QDir::toNativeSeparators(QCoreApplication::applicationDirPath())};
    rememberStartedInstaller(installerPath, updateManager->installerSha256());
    // The update manager holds the installer so that nothing replaces it
    // before it has started; once started, it stays held until this program
    // ends, a moment later.
    if (!QProcess::startDetached(installerPath, arguments)) {
        updateManager->releaseInstaller();
        showNotice(QStringLiteral("Güncelleme hatası"), QStringLiteral("Güncelleme programı başlatılamadı."), 2);
        return;
    }
    // The way the tray's exit entry leaves: a close would be taken for hiding
    // to the tray and could refuse the quit, leaving the installer waiting.
    quitApplication();
}
