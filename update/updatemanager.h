#pragma once

#include "heldfile.h"

#include <QObject>
#include <QString>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;
class QSaveFile;

// Finds out whether a newer release exists on the trusted update host and, on
// request, downloads and verifies its installer. Asynchronous: outcomes arrive
// as signals, on a network access manager of its own so that stopping the
// synchronisation never touches an update transfer.
class UpdateManager : public QObject
{
    Q_OBJECT

public:
    explicit UpdateManager(QObject *parent = nullptr);
    // Tests point the manager at a loopback host; the application never does.
    UpdateManager(const QString &trustedHost, QObject *parent);

    void checkForUpdates(const QUrl &manifestUrl);
    void downloadUpdate();
    // Lets go of the installer that updateReady named: it could not be
    // started. Once it has started the manager's end lets go of it.
    void releaseInstaller();
    // The digest the installer that updateReady named was verified against.
    QString installerSha256() const { return readySha256; }
    // Takes away an installer that an earlier run verified and started,
    // once that installer has ended. Only the file verified goes: true when
    // nothing of it is left at path (removed, or what is there now is not
    // it); false while it cannot be read or removed yet (Windows keeps a
    // running program's file), to be tried again.
    static bool removeStartedInstaller(const QString &path, const QString &sha256);

Q_SIGNALS:
    void log(const QString &message);
    void updateAvailable(const QString &version, const QString &notes);
    void checkFailed(const QString &message);
    void checkCompleted(const QString &version);
    void downloadProgress(qint64 received, qint64 total);
    void updateReady(const QString &installerPath);
    void downloadFailed(const QString &message);

private:
    bool isTrusted(const QUrl &url) const;
    void finishCheck(QNetworkReply *reply, bool tooLarge);
    void receiveInstaller();
    bool writeInstallerChunk(const QByteArray &chunk);
    void abortDownload(const QString &message);
    void finishDownload(QNetworkReply *reply, const QString &installer, const QString &digest);
    void dropSaveFile();

    QNetworkAccessManager *network;
    QUrl downloadUrl;
    QString expectedSha256;
    QNetworkReply *downloadReply = nullptr;
    QSaveFile *saveFile = nullptr;
    QString trustedHost;
    // Set when the manager itself stops the transfer, so the user learns why
    // instead of reading the network layer's "canceled".
    QString downloadAbortReason;
    // The verified installer, held from its digest on so that the program
    // started is the one verified.
    HeldFile heldInstaller;
    QString readySha256;
};
