#include "mainwindow.h"
#include "mainwindow_p.h"

#include "autostart.h"
#include "passwordprotection.h"
#include "updatemanager.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QDir>
#include <QSettings>
#include <QSpinBox>
#include <QStandardPaths>
#include <QTimer>

#include <memory>

using namespace WindowDefaults;

namespace {

QString defaultFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation) + QStringLiteral("/Kumat");
}

// Opened afresh for every load and save, never cached.
std::unique_ptr<QSettings> openStore()
{
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Korvenalis"),
                                       QStringLiteral("KumatSync"));
}

// A value of the wrong type reads as 0; the spin boxes clamp it.
int readInt(const QSettings &settings, const QString &key, int fallback)
{
    const QVariant value = settings.value(key);
    if (!value.isValid())
        return fallback;
    bool ok = false;
    const int number = value.toInt(&ok);
    return ok ? number : 0;
}

// A stored text such as "abc" must not switch an option on, as a plain
// conversion would.
bool readBool(const QSettings &settings, const QString &key)
{
    const QVariant value = settings.value(key);
    if (value.typeId() == QMetaType::Bool)
        return value.toBool();
    if (value.typeId() == QMetaType::QString || value.typeId() == QMetaType::QByteArray) {
        const QString text = value.toString().trimmed().toLower();
        return text == QLatin1String("true") || text == QLatin1String("1");
    }
    bool ok = false;
    const int number = value.toInt(&ok);
    return ok && number != 0;
}

} // namespace

void MainWindow::loadSettings()
{
    const auto settings = openStore();
    serverEdit->setText(settings->value(QStringLiteral("server"), defaultServer()).toString());
    emailEdit->setText(settings->value(QStringLiteral("email")).toString());
    folderEdit->setText(settings->value(QStringLiteral("folder"), defaultFolder()).toString());

    const int legacySeconds = readInt(*settings, QStringLiteral("interval"), 0);
    if (legacySeconds > 0 && !settings->contains(QStringLiteral("interval_minutes"))) {
        settings->setValue(QStringLiteral("interval_minutes"), legacySeconds >= 120 ? legacySeconds / 60 : 1);
        settings->remove(QStringLiteral("interval"));
    }

    intervalSpin->setValue(qBound(1, readInt(*settings, QStringLiteral("interval_minutes"), 1), 20160));
    downloadLimitSpin->setValue(readInt(*settings, QStringLiteral("downloadLimit"), 0));
    uploadLimitSpin->setValue(readInt(*settings, QStringLiteral("uploadLimit"), 0));
    autoStartCheck->setChecked(readBool(*settings, QStringLiteral("autoStart")));
    rememberPasswordCheck->setChecked(readBool(*settings, QStringLiteral("rememberPassword")));

    if (rememberPasswordCheck->isChecked()) {
        QString password;
        if (unprotectPassword(settings->value(QStringLiteral("password")).toString(), &password))
            passwordEdit->setText(password);
        else
            passwordEdit->clear();
    }
}

void MainWindow::saveSettings(bool storePassword)
{
    const auto settings = openStore();
    settings->setValue(QStringLiteral("server"), serverEdit->text().trimmed());
    settings->setValue(QStringLiteral("email"), emailEdit->text().trimmed());
    settings->setValue(QStringLiteral("folder"), folderEdit->text().trimmed());
    settings->setValue(QStringLiteral("interval_minutes"), intervalSpin->value());
    settings->setValue(QStringLiteral("downloadLimit"), downloadLimitSpin->value());
    settings->setValue(QStringLiteral("uploadLimit"), uploadLimitSpin->value());
    settings->setValue(QStringLiteral("autoStart"), autoStartCheck->isChecked());
    settings->setValue(QStringLiteral("rememberPassword"), rememberPasswordCheck->isChecked());

    if (!rememberPasswordCheck->isChecked()) {
        settings->remove(QStringLiteral("password"));
    } else if (storePassword && !passwordEdit->text().isEmpty()) {
        // a failed protection keeps whatever was stored before
        const QString protectedText = protectPassword(passwordEdit->text());
        if (!protectedText.isEmpty())
            settings->setValue(QStringLiteral("password"), protectedText);
    }
}

// The installer this program's update step starts cannot remove itself, nor
// can the program while that installer runs: the version it starts (or this
// one, again, when the update changed nothing) takes it away on its start.
void MainWindow::rememberStartedInstaller(const QString &path, const QString &sha256)
{
    const auto settings = openStore();
    settings->setValue(QStringLiteral("startedInstaller"), path);
    settings->setValue(QStringLiteral("startedInstallerSha256"), sha256);
}

void MainWindow::removeStartedInstaller()
{
    const auto settings = openStore();
    const QString path = settings->value(QStringLiteral("startedInstaller")).toString();
    if (path.isEmpty())
        return;
    if (UpdateManager::removeStartedInstaller(path, settings->value(QStringLiteral("startedInstallerSha256")).toString())) {
        settings->remove(QStringLiteral("startedInstaller"));
        settings->remove(QStringLiteral("startedInstallerSha256"));
        return;
    }
    // the installer that started this program is still ending; after a
    // minute the next start tries again
    if (++installerRemovalTries < 60)
        QTimer::singleShot(1000, Qt::CoarseTimer, this, &MainWindow::removeStartedInstaller);
}

// The folder of the last completed pass: one that is missing when the program
// starts is a drive not yet there, not a folder to make anew.
bool MainWindow::synchronisedBefore(const QString &folder) const
{
    const QString known = openStore()->value(QStringLiteral("syncedFolder")).toString();
    return !known.isEmpty() && QDir::cleanPath(known) == QDir::cleanPath(folder);
}

void MainWindow::rememberSynchronisedFolder()
{
    const QString folder = QDir::cleanPath(folderEdit->text().trimmed());
    const auto settings = openStore();
    if (settings->value(QStringLiteral("syncedFolder")).toString() != folder)
        settings->setValue(QStringLiteral("syncedFolder"), folder);
}

void MainWindow::toggleAutoStart(bool checked)
{
    if (!checked) {
        AutoStart::disable();
        return;
    }
    if (AutoStart::enable(QCoreApplication::applicationFilePath()))
        return;
    // a box left ticked over a missing entry would promise a start that never comes
    {
        const QSignalBlocker blocker(autoStartCheck);
        autoStartCheck->setChecked(false);
    }
    // not modal: this also runs while the window is being built
    WindowDefaults::openBox(this, QMessageBox::Warning, QStringLiteral("Otomatik başlatma"),
                            QStringLiteral("Otomatik başlatma kısayolu oluşturulamadı. Program, oturum "
                                           "açıldığında kendiliğinden başlamayacak."));
}
