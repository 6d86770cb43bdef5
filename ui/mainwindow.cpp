#include "mainwindow.h"
#include "mainwindow_p.h"
#include "textbutton.h"

#include "apiclient.h"
#include "syncengine.h"
#include "updatemanager.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressDialog>
#include <QPushButton>
#include <QSpinBox>
#include <QSystemTrayIcon>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>

using namespace WindowDefaults;

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
    browseButton = new TextButton(QStringLiteral("Seç"), folderRow);
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
    connectButton = new TextButton(QStringLiteral("Bağlan ve başlat"), central);
    connectButton->setObjectName(QStringLiteral("connectButton"));
    stopButton = new TextButton(QStringLiteral("Durdur"), central);
    stopButton->setObjectName(QStringLiteral("stopButton"));
    stopButton->setEnabled(false);
    statusLabel = new QLabel(QStringLiteral("Hazır"), central);
    statusLabel->setObjectName(QStringLiteral("statusLabel"));
    // it shows versions from the update manifest and titles of notifications
    statusLabel->setTextFormat(Qt::PlainText);
    updateButton = new TextButton(QStringLiteral("Güncelleme Kontrol Et"), central);
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

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        trayIcon = new QSystemTrayIcon(windowIcon(), this);
        trayIcon->setToolTip(appTitle);
        auto *menu = new QMenu(this);
        QAction *openAction = menu->addAction(QStringLiteral("Uygulamayı Aç"));
        pauseAction = menu->addAction(QStringLiteral("Senkronizasyonu Duraklat"));
        trayUpdateAction = menu->addAction(QStringLiteral("Güncelleme Kontrol Et"));
        QAction *quitAction = menu->addAction(QStringLiteral("Çıkış"));
        trayIcon->setContextMenu(menu);

        connect(openAction, &QAction::triggered, this, &MainWindow::bringToFront);
        connect(pauseAction, &QAction::triggered, this, &MainWindow::toggleSyncFromTray);
        connect(trayUpdateAction, &QAction::triggered, this, &MainWindow::checkForUpdatesClicked);
        connect(quitAction, &QAction::triggered, this, &MainWindow::quitApplication);
        connect(trayIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
                bringToFront();
                // a question whose balloon went by unseen comes up with the window
                if (pendingRemovalQuestion)
                    showRemovalQuestions();
            }
        });
        connect(trayIcon, &QSystemTrayIcon::messageClicked, this, [this] {
            if (pendingRemovalQuestion)
                showRemovalQuestions();
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
    connect(syncEngine, &SyncEngine::removalsNeedAnswer, this, &MainWindow::askAboutRemovals);
    connect(syncEngine, &SyncEngine::signInNeeded, this, &MainWindow::signInAgain);
    connect(syncEngine, &SyncEngine::passCompleted, this, [this] {
        signedInAgain = false;
        rememberSynchronisedFolder();
    });
    connect(syncEngine, &SyncEngine::folderWaiting, this, [this](bool waiting) {
        if (waiting)
            statusLabel->setText(QStringLiteral("Senkronizasyon klasörü bekleniyor"));
    });
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
            showNotice(title, message, 1);
    });
    connect(updateManager, &UpdateManager::downloadProgress, this, &MainWindow::updateProgress);
    connect(updateManager, &UpdateManager::updateReady, this, &MainWindow::launchUpdater);
    connect(updateManager, &UpdateManager::downloadFailed, this, [this](const QString &message) {
        if (progressDialog) {
            progressDialog->close();
            progressDialog->deleteLater();
            progressDialog = nullptr;
        }
        showNotice(QStringLiteral("Güncelleme indirilemedi"), message, 1);
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
    QTimer::singleShot(0, this, &MainWindow::removeStartedInstaller);

    updateTimer = new QTimer(this);
    updateTimer->setInterval(86400000);
    connect(updateTimer, &QTimer::timeout, this, &MainWindow::checkForUpdatesClicked);
    updateTimer->start();
}

MainWindow::~MainWindow()
{
    saveSettings(false);
}

void MainWindow::bringToFront()
{
    showNormal();
    raise();
    activateWindow();
}

void MainWindow::chooseFolder()
{
    const QString folder = QFileDialog::getExistingDirectory(
        this, QStringLiteral("Senkronizasyon klasörünü seç"), folderEdit->text(), QFileDialog::ShowDirsOnly);
    if (!folder.isEmpty())
        folderEdit->setText(folder);
}
