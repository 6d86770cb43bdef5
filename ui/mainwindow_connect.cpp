#include "mainwindow.h"
#include "mainwindow_p.h"

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

using namespace WindowDefaults;

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
        showBox(this, QMessageBox::Warning, QStringLiteral("Eksik bilgi"),
                QStringLiteral("Sunucu, e-posta, parola ve yerel klasör alanlarını doldurun."));
        return;
    }
    if (!isSafeServer(server)) {
        showBox(this, QMessageBox::Warning, QStringLiteral("Güvenli olmayan sunucu"),
                QStringLiteral("Sunucu adresi geçerli bir HTTPS adresi olmalıdır."));
        return;
    }
    const QString folder = normalizedFolder(folderText);
    if (isUnsafeFolder(folder)) {
        showBox(this, QMessageBox::Warning, QStringLiteral("Güvenli olmayan klasör"),
                QStringLiteral("Sürücü kökü veya uygulama kurulum klasörü senkronizasyon klasörü "
                               "olarak kullanılamaz."));
        return;
    }
    if (rememberPasswordCheck->isChecked() && protectPassword(password).isEmpty()) {
        showBox(this, QMessageBox::Warning, QStringLiteral("Parola saklanamadı"),
                QStringLiteral("Windows parola koruması kullanılamadı. Parolayı hatırlama seçeneğini "
                               "kapatın veya yeniden deneyin."));
        return;
    }

    folderEdit->setText(folder);
    connectButton->setEnabled(false);
    statusLabel->setText(QStringLiteral("Bağlanıyor..."));

    // What was checked above is what gets stored and synchronised. The login
    // can wait for a minute; the form stays shut meanwhile, and whatever reached
    // a field anyway is put back to the checked value.
    const QString serverText = serverEdit->text();
    const QString emailText = emailEdit->text();
    const bool remember = rememberPasswordCheck->isChecked();
    const int interval = intervalSpin->value();
    const int downloadLimit = downloadLimitSpin->value();
    const int uploadLimit = uploadLimitSpin->value();
    setFormEditable(false);

    apiClient->setBaseUrl(serverText);
    loginInProgress = true;
    const bool loggedIn = apiClient->login(emailText, password, QStringLiteral("Kumat Sync Masaüstü"));
    loginInProgress = false;

    serverEdit->setText(serverText);
    emailEdit->setText(emailText);
    passwordEdit->setText(password);
    folderEdit->setText(folder);
    rememberPasswordCheck->setChecked(remember);
    intervalSpin->setValue(interval);
    downloadLimitSpin->setValue(downloadLimit);
    uploadLimitSpin->setValue(uploadLimit);
    // the engine's state change shuts the form again for the running look
    setFormEditable(true);
    if (!loggedIn) {
        showBox(this, QMessageBox::Critical, QStringLiteral("Bağlantı hatası"), apiClient->lastError());
        connectButton->setEnabled(true);
        statusLabel->setText(QStringLiteral("Bağlantı başarısız"));
        return;
    }

    saveSettings(true);
    apiClient->setTransferLimits(downloadLimit, uploadLimit);
    syncEngine->configure(folder, interval);
    syncEngine->setMayCreateFolder(!synchronisedBefore(folder));
    syncEngine->start();
}

QList<QWidget *> MainWindow::formFields() const
{
    return {serverEdit, emailEdit, passwordEdit, folderEdit, intervalSpin, downloadLimitSpin, uploadLimitSpin,
            rememberPasswordCheck};
}

void MainWindow::setFormEditable(bool editable)
{
    for (QWidget *control : formFields())
        control->setEnabled(editable);
    browseButton->setEnabled(editable);
}

void MainWindow::signInAgain()
{
    // With a remembered password the client signs in once more by itself and
    // goes on; a refusal right after that, or no remembered password, stops
    // the engine instead of letting it meet the same refusal every pass.
    const QString password = passwordEdit->text();
    if (!signedInAgain && !loginInProgress && rememberPasswordCheck->isChecked() && !password.isEmpty()) {
        signedInAgain = true;
        appendLog(QStringLiteral("Kumat oturumu sona erdi; hatırlanan parolayla yeniden oturum açılıyor."));
        loginInProgress = true;
        const bool loggedIn = apiClient->login(emailEdit->text(), password, QStringLiteral("Kumat Sync Masaüstü"));
        loginInProgress = false;
        if (loggedIn) {
            syncEngine->syncSoon();
            return;
        }
    }
    syncEngine->stop();
    signedInAgain = false;
    // the form is open again; the password is what it waits for
    if (!rememberPasswordCheck->isChecked())
        passwordEdit->clear();
    passwordEdit->setFocus();
    showNotice(QStringLiteral("Oturum sona erdi"),
               QStringLiteral("Kumat oturumunuz sona erdi ve senkronizasyon durduruldu. Devam etmek için parolanızı "
                              "girip \"Bağlan ve başlat\" düğmesine basın."),
               1);
}
