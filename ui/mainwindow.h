#pragma once

#include <QMainWindow>
#include <QPointer>

class ApiClient;
class SyncEngine;
class UpdateManager;
class QAction;
class QCheckBox;
class QCloseEvent;
class QLabel;
class QLineEdit;
class QMessageBox;
class QProgressDialog;
class QPushButton;
class QSpinBox;
class QSystemTrayIcon;
class QTextEdit;
class QTimer;

// The only window of the application and the owner of the client, the engine
// and the update manager. Everything runs on the GUI thread.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // Shows the window, also from the tray or minimised, and puts it in front
    // of the others with the keyboard focus.
    void bringToFront();

protected:
    void closeEvent(QCloseEvent *event) override;

private Q_SLOTS:
    void chooseFolder();
    void connectAndStart();
    void stopSync();
    void appendLog(const QString &message);
    void updateRunning(bool running);
    void updateUploadSpeed(qint64 sent, qint64 total);
    void updateDownloadSpeed(qint64 received, qint64 total);
    void offerUpdate(const QString &version, const QString &notes);
    void updateProgress(qint64 received, qint64 total);
    void launchUpdater(const QString &installerPath);
    void toggleSyncFromTray();
    void showSyncNotification(const QString &title, const QString &message, int severity);
    void checkForUpdatesClicked();
    void toggleAutoStart(bool checked);
    // the engine held back many removals on one side and asks what to do
    void askAboutRemovals(int side, int count, const QStringList &firstPaths);
    void showRemovalQuestions();
    // the server refused the sign-in during a pass
    void signInAgain();

private:
    friend struct MainWindowTestAccess;

    void loadSettings();
    bool synchronisedBefore(const QString &folder) const;
    void rememberSynchronisedFolder();
    void saveSettings(bool storePassword);
    void refreshTransferTitle();
    QList<QWidget *> formFields() const;
    void setFormEditable(bool editable);
    void showNotice(const QString &title, const QString &text, int severity);
    QString announcementText() const;
    QString questionText() const;
    void askToInstall();
    void quitApplication();
    void rememberStartedInstaller(const QString &path, const QString &sha256);
    void removeStartedInstaller();

    ApiClient *apiClient;
    SyncEngine *syncEngine;
    QLineEdit *serverEdit;
    QLineEdit *emailEdit;
    QLineEdit *passwordEdit;
    QLineEdit *folderEdit;
    QPushButton *browseButton;
    QSpinBox *intervalSpin;
    QSpinBox *downloadLimitSpin;
    QSpinBox *uploadLimitSpin;
    QCheckBox *rememberPasswordCheck;
    QCheckBox *autoStartCheck;
    QPushButton *connectButton;
    QPushButton *stopButton;
    QTextEdit *logView;
    QLabel *statusLabel;
    qint64 uploadRate = 0;
    qint64 downloadRate = 0;
    qint64 uploadBytesThisSecond = 0;
    qint64 downloadBytesThisSecond = 0;
    qint64 lastUploadProgress = 0;
    qint64 lastDownloadProgress = 0;
    QTimer *speedTimer;
    UpdateManager *updateManager;
    QTimer *updateTimer;
    QProgressDialog *progressDialog = nullptr;
    QSystemTrayIcon *trayIcon = nullptr;
    QAction *pauseAction = nullptr;
    QAction *trayUpdateAction = nullptr;
    QPushButton *updateButton;
    bool quitting = false;
    int installerRemovalTries = 0;
    // A connect that arrives (from the tray) while a login waits must not start
    // a second login on the same client.
    bool loginInProgress = false;
    // signed in again by itself since the last completed pass: a second
    // refusal stops the engine instead of signing in over and over
    bool signedInAgain = false;
    // The one box that warnings and errors share while no tray can show them;
    // it never waits for an answer, so no pass is held by it.
    QPointer<QMessageBox> noticeBox;
    int noticeSeverity = 0;
    // The update offer on screen (announcement or question), at most one, and
    // the newest release it tells of.
    QPointer<QMessageBox> offerBox;
    // The questions about held-back removals, one per side, and whether one
    // waits behind a tray balloon.
    QPointer<QMessageBox> removalBoxes[2];
    bool pendingRemovalQuestion = false;
    QString offeredVersion;
    QString offeredNotes;
};
