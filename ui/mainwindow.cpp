#include "mainwindow.h"

#include "apiclient.h"
#include "autostart.h"
#include "passwordprotection.h"
#include "syncengine.h"
#include "updatemanager.h"
#include "vendor.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QProgressDialog>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QSpinBox>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QTextCursor>
#include <QTextEdit>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <memory>

namespace {

const QString appTitle = QStringLiteral("Zelnor Kumat Senkronizasyon");

QString defaultServer()
{
    return QString::fromLatin1(Vendor::serverUrl);
}

QUrl manifestUrl()
{
    return QUrl(QString::fromLatin1(Vendor::manifestUrl));
}

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

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent)
{
    apiClient = new ApiClient(this);
    syncEngine = new SyncEngine(apiClient, this);
    uploadRate = downloadRate = 0;
    uploadBytesThisSecond = downloadBytesThisSecond = 0;
    lastUploadProgress = lastDownloadProgress = 0;
    updateManager = new UpdateManager(this);
    trayIcon = nullptr;
    pauseAction = nullptr;
    trayUpdateAction = nullptr;
    progressDialog = nullptr;
    quitting = false;

    setWindowTitle(appTitle);
    resize(760, 590);

    auto *central = new QWidget(this);
    auto *layout = new QVBoxLayout(central);
    layout->setContentsMargins(24, 24, 24, 24);
    layout->setSpacing(16);

    auto *header = new QLabel(QStringLiteral("<h1>Zelnor Kumat Senkronizasyon</h1>"
                                             "<p>Windows için güvenli çift yönlü dosya senkronizasyonu</p>"),
                              central);
    header->setTextFormat(Qt::RichText);
    layout->addWidget(header, 0);

    auto *form = new QFormLayout;
    serverEdit = new QLineEdit(central);
    serverEdit->setObjectName(QStringLiteral("serverEdit"));
    serverEdit->setPlaceholderText(defaultServer());
    emailEdit = new QLineEdit(central);
    emailEdit->setObjectName(QStringLiteral("emailEdit"));
    emailEdit->setPlaceholderText(QStringLiteral("ornek@alanadi.com.tr"));
    passwordEdit = new QLineEdit(central);
    passwordEdit->setObjectName(QStringLiteral("passwordEdit"));
    passwordEdit->setEchoMode(QLineEdit::Password);

    auto *folderRow = new QWidget(central);
    auto *folderLayout = new QHBoxLayout(folderRow);
    folderLayout->setContentsMargins(0, 0, 0, 0);
    folderEdit = new QLineEdit(folderRow);
    folderEdit->setObjectName(QStringLiteral("folderEdit"));
    auto *browseButton = new QPushButton(QStringLiteral("Seç"), folderRow);
    browseButton->setObjectName(QStringLiteral("browseButton"));
    folderLayout->addWidget(folderEdit, 1);
    folderLayout->addWidget(browseButton, 0);

    intervalSpin = new QSpinBox(central);
    intervalSpin->setObjectName(QStringLiteral("intervalSpin"));
    intervalSpin->setRange(1, 20160);
    intervalSpin->setSuffix(QStringLiteral(" dk"));
    intervalSpin->setValue(1);
    autoStartCheck = new QCheckBox(QStringLiteral("Sistem başlangıcında otomatik başlat"), central);
    autoStartCheck->setObjectName(QStringLiteral("autoStartCheck"));
    downloadLimitSpin = new QSpinBox(central);
    downloadLimitSpin->setObjectName(QStringLiteral("downloadLimitSpin"));
    downloadLimitSpin->setRange(0, 102400);
    downloadLimitSpin->setSuffix(QStringLiteral(" KiB/sn (0 = sınırsız)"));
    uploadLimitSpin = new QSpinBox(central);
    uploadLimitSpin->setObjectName(QStringLiteral("uploadLimitSpin"));
    uploadLimitSpin->setRange(0, 102400);
    uploadLimitSpin->setSuffix(QStringLiteral(" KiB/sn (0 = sınırsız)"));
    rememberPasswordCheck = new QCheckBox(QStringLiteral("Parolayı bu bilgisayarda hatırla"), central);
    rememberPasswordCheck->setObjectName(QStringLiteral("rememberPasswordCheck"));

    form->addRow(QStringLiteral("Sunucu adresi"), serverEdit);
    form->addRow(QStringLiteral("E-posta"), emailEdit);
    form->addRow(QStringLiteral("Parola"), passwordEdit);
    form->addRow(QStringLiteral("Yerel klasör"), folderRow);
    form->addRow(QStringLiteral("Kontrol aralığı"), intervalSpin);
    form->addRow(QString(), autoStartCheck);
    form->addRow(QStringLiteral("İndirme hızı"), downloadLimitSpin);
    form->addRow(QStringLiteral("Yükleme hızı"), uploadLimitSpin);
    form->addRow(QString(), rememberPasswordCheck);
    layout->addLayout(form, 0);

    auto *buttons = new QHBoxLayout;
    connectButton = new QPushButton(QStringLiteral("Bağlan ve başlat"), central);
    connectButton->setObjectName(QStringLiteral("connectButton"));
    stopButton = new QPushButton(QStringLiteral("Durdur"), central);
    stopButton->setObjectName(QStringLiteral("stopButton"));
    stopButton->setEnabled(false);
    statusLabel = new QLabel(QStringLiteral("Hazır"), central);
    statusLabel->setObjectName(QStringLiteral("statusLabel"));
    updateButton = new QPushButton(QStringLiteral("Güncelleme Kontrol Et"), central);
    updateButton->setObjectName(QStringLiteral("updateButton"));
    updateButton->setToolTip(QStringLiteral("Yeni sürüm kontrolü başlat"));
    buttons->addWidget(connectButton);
    buttons->addWidget(stopButton);
    buttons->addStretch();
    buttons->addWidget(statusLabel);
    buttons->addWidget(updateButton);
    layout->addLayout(buttons, 0);

    logView = new QTextEdit(central);
    logView->setObjectName(QStringLiteral("logView"));
    logView->setReadOnly(true);
    logView->setPlaceholderText(QStringLiteral("Senkronizasyon kayıtları burada görüntülenir."));
    layout->addWidget(logView, 1);

    setCentralWidget(central);

    const auto showWindow = [this] {
        showNormal();
        raise();
        activateWindow();
    };

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        trayIcon = new QSystemTrayIcon(windowIcon(), this);
        trayIcon->setToolTip(appTitle);
        auto *menu = new QMenu(this);
        QAction *openAction = menu->addAction(QStringLiteral("Uygulamayı Aç"));
        pauseAction = menu->addAction(QStringLiteral("Senkronizasyonu Duraklat"));
        trayUpdateAction = menu->addAction(QStringLiteral("Güncelleme Kontrol Et"));
        QAction *quitAction = menu->addAction(QStringLiteral("Çıkış"));
        trayIcon->setContextMenu(menu);

        connect(openAction, &QAction::triggered, this, showWindow);
        connect(pauseAction, &QAction::triggered, this, &MainWindow::toggleSyncFromTray);
        connect(trayUpdateAction, &QAction::triggered, this, &MainWindow::checkForUpdatesClicked);
        connect(quitAction, &QAction::triggered, this, [this] {
            quitting = true;
            if (syncEngine->isRunning())
                syncEngine->stop();
            saveSettings(false);
            if (trayIcon)
                trayIcon->hide();
            hide();
            QCoreApplication::quit();
        });
        connect(trayIcon, &QSystemTrayIcon::activated, this, [showWindow](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                showWindow();
        });
        trayIcon->show();
    }

    const auto enableUpdateCheck = [this] {
        updateButton->setEnabled(true);
        if (trayUpdateAction)
            trayUpdateAction->setEnabled(true);
    };

    connect(autoStartCheck, &QCheckBox::toggled, this, &MainWindow::toggleAutoStart);
    connect(browseButton, &QPushButton::clicked, this, &MainWindow::chooseFolder);
    connect(connectButton, &QPushButton::clicked, this, &MainWindow::connectAndStart);
    connect(stopButton, &QPushButton::clicked, this, &MainWindow::stopSync);
    connect(syncEngine, &SyncEngine::log, this, &MainWindow::appendLog);
    connect(syncEngine, &SyncEngine::stateChanged, this, &MainWindow::updateRunning);
    connect(syncEngine, &SyncEngine::notification, this, &MainWindow::showSyncNotification);
    connect(apiClient, &ApiClient::uploadProgress, this, &MainWindow::updateUploadSpeed);
    connect(apiClient, &ApiClient::downloadProgress, this, &MainWindow::updateDownloadSpeed);
    connect(updateManager, &UpdateManager::updateAvailable, this, &MainWindow::offerUpdate);
    connect(updateManager, &UpdateManager::log, this, &MainWindow::appendLog);
    connect(updateManager, &UpdateManager::checkCompleted, this, [this, enableUpdateCheck](const QString &version) {
        enableUpdateCheck();
        statusLabel->setText(QStringLiteral("Güncel (") + version + u')');
    });
    connect(updateManager, &UpdateManager::checkFailed, this, [this, enableUpdateCheck](const QString &message) {
        enableUpdateCheck();
        const QString title = QStringLiteral("Güncelleme denetimi başarısız");
        if (trayIcon && trayIcon->isVisible())
            trayIcon->showMessage(title, message, QSystemTrayIcon::Warning, 8000);
        else
            QMessageBox::warning(this, title, message);
    });
    connect(updateManager, &UpdateManager::downloadProgress, this, &MainWindow::updateProgress);
    connect(updateManager, &UpdateManager::updateReady, this, &MainWindow::launchUpdater);
    connect(updateManager, &UpdateManager::downloadFailed, this, [this](const QString &message) {
        if (progressDialog) {
            progressDialog->close();
            progressDialog->deleteLater();
            progressDialog = nullptr;
        }
        QMessageBox::warning(this, QStringLiteral("Güncelleme indirilemedi"), message);
    });
    connect(updateButton, &QPushButton::clicked, this, &MainWindow::checkForUpdatesClicked);

    speedTimer = new QTimer(this);
    speedTimer->setInterval(1000);
    connect(speedTimer, &QTimer::timeout, this, [this] {
        uploadRate = uploadBytesThisSecond;
        downloadRate = downloadBytesThisSecond;
        uploadBytesThisSecond = 0;
        downloadBytesThisSecond = 0;
        refreshTransferTitle();
    });
    speedTimer->start();

    loadSettings();

    QTimer::singleShot(0, this, [this] {
        if (rememberPasswordCheck->isChecked() && !passwordEdit->text().isEmpty()
            && !serverEdit->text().trimmed().isEmpty() && !emailEdit->text().trimmed().isEmpty()
            && !folderEdit->text().trimmed().isEmpty())
            connectAndStart();
    });
    QTimer::singleShot(2500, Qt::CoarseTimer, this, [this] { updateManager->checkForUpdates(manifestUrl()); });

    updateTimer = new QTimer(this);
    updateTimer->setInterval(86400000);
    connect(updateTimer, &QTimer::timeout, this, &MainWindow::checkForUpdatesClicked);
    updateTimer->start();
}

MainWindow::~MainWindow()
{
    saveSettings(false);
}

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

void MainWindow::chooseFolder()
{
    const QString folder = QFileDialog::getExistingDirectory(
        this, QStringLiteral("Senkronizasyon klasörünü seç"), folderEdit->text(), QFileDialog::ShowDirsOnly);
    if (!folder.isEmpty())
        folderEdit->setText(folder);
}

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
    for (QWidget *control : std::initializer_list<QWidget *>{serverEdit, emailEdit, passwordEdit, folderEdit,
                                                             intervalSpin, downloadLimitSpin, uploadLimitSpin,
                                                             rememberPasswordCheck})
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
    if (severity >= 2)
        QMessageBox::critical(this, title, message);
    else if (severity == 1)
        QMessageBox::warning(this, title, message);
    else
        QMessageBox::information(this, title, message);
}

void MainWindow::toggleSyncFromTray()
{
    if (syncEngine->isRunning())
        syncEngine->stop();
    else
        connectAndStart();
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
        QMessageBox::information(this, title, announcement);

    const QString question = QStringLiteral("Zelnor Kumat Senkronizasyon %1 sürümü hazır.%2\n\nŞimdi indirip kurmak ister misiniz?")
                                 .arg(version, notes.isEmpty() ? QString() : QStringLiteral("\n\n") + notes);
    const auto answer = QMessageBox::question(this, title, question, QMessageBox::Yes | QMessageBox::No);
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
        QMessageBox::critical(this, QStringLiteral("Güncelleme hatası"), QStringLiteral("Güncelleme programı başlatılamadı."));
        return;
    }
    QCoreApplication::quit();
}

void MainWindow::toggleAutoStart(bool checked)
{
    if (checked)
        AutoStart::enable(QCoreApplication::applicationFilePath());
    else
        AutoStart::disable();
}
