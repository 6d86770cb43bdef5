#include "mainwindow.h"

#include "apiclient.h"
#include "passwordprotection.h"
#include "syncengine.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QUrl>

namespace {

QString normalizedFolder(const QString &path)
{
    QString clean = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    // cleanPath keeps ".." segments that climb above the root ("/../.."), which
    // would hide the root from the check below; nothing lies above a root
    qsizetype rootLength = 0;
    if (clean.startsWith(u'/'))
        rootLength = 1;
    else if (clean.size() >= 3 && clean.at(1) == u':' && clean.at(2) == u'/')
        rootLength = 3;
    if (rootLength > 0) {
        QString rest = clean.mid(rootLength);
        while (rest == QLatin1String("..") || rest.startsWith(QLatin1String("../")))
            rest.remove(0, rest.size() > 2 ? 3 : 2);
        clean = clean.left(rootLength) + rest;
    }
    return clean;
}

bool isUnsafeFolder(const QString &chosen)
{
    const QString path = normalizedFolder(chosen);
    if (path.isEmpty() || QDir(path).isRoot())
        return true;
    const QString lowered = path.toLower();
    const QString appFolder = normalizedFolder(QCoreApplication::applicationDirPath()).toLower();
    return lowered == appFolder || lowered.startsWith(appFolder + u'/') || appFolder.startsWith(lowered + u'/');
}

bool isSafeServer(const QString &server)
{
    const QUrl url(server, QUrl::TolerantMode);
    return url.isValid() && url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0
        && !url.host(QUrl::FullyDecoded).isEmpty();
}

} // namespace

void MainWindow::connectAndStart()
{
    if (loginInProgress)
        return;

    const QString server = serverEdit->text().trimmed();
    const QString email = emailEdit->text().trimmed();
    const QString password = passwordEdit->text();
    const QString folderText = folderEdit->text().trimmed();

    if (server.isEmpty() || email.isEmpty() || password.isEmpty() || folderText.isEmpty()) {
        QMessageBox::warning(this, QStringLiteral("Eksik bilgi"),
                             QStringLiteral("Sunucu, e-posta, parola ve yerel klasör alanlarını doldurun."));
        return;
    }
    if (!isSafeServer(server)) {
        QMessageBox::warning(this, QStringLiteral("Güvenli olmayan sunucu"),
                             QStringLiteral("Sunucu adresi geçerli bir HTTPS adresi olmalıdır."));
        return;
    }
    const QString folder = normalizedFolder(folderText);
    if (isUnsafeFolder(folder)) {
        QMessageBox::warning(this, QStringLiteral("Güvenli olmayan klasör"),
                             QStringLiteral("Sürücü kökü veya uygulama kurulum klasörü senkronizasyon klasörü "
                                            "olarak kullanılamaz."));
        return;
    }
    if (rememberPasswordCheck->isChecked() && protectPassword(password).isEmpty()) {
        QMessageBox::warning(this, QStringLiteral("Parola saklanamadı"),
                             QStringLiteral("Windows parola koruması kullanılamadı. Parolayı hatırlama seçeneğini "
                                            "kapatın veya yeniden deneyin."));
        return;
    }

    folderEdit->setText(folder);
    connectButton->setEnabled(false);
    statusLabel->setText(QStringLiteral("Bağlanıyor..."));

    apiClient->setBaseUrl(serverEdit->text());
    loginInProgress = true;
    const bool loggedIn = apiClient->login(emailEdit->text(), password, QStringLiteral("Kumat Sync Masaüstü"));
    loginInProgress = false;
    if (!loggedIn) {
        QMessageBox::critical(this, QStringLiteral("Bağlantı hatası"), apiClient->lastError());
        connectButton->setEnabled(true);
        statusLabel->setText(QStringLiteral("Bağlantı başarısız"));
        return;
    }

    saveSettings(true);
    apiClient->setTransferLimits(downloadLimitSpin->value(), uploadLimitSpin->value());
    syncEngine->configure(folderEdit->text(), intervalSpin->value());
    syncEngine->start();
}
