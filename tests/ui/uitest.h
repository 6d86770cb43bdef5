#pragma once

// Shared pieces of the window tests: a private user environment, a network
// guard, an answering machine for message boxes and access to the window's
// internals.

#include "mainwindow.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QNetworkProxyFactory>
#include <QPointer>
#include <QProgressDialog>
#include <QPushButton>
#include <QSettings>
#include <QSpinBox>
#include <QSystemTrayIcon>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

#include <memory>

namespace UiTest {

// Gives the process a home of its own before anything reads it, so that the
// real settings store, autostart folder and keyring are never touched. The
// session bus is pointed at nothing unless the caller keeps its own (the keyring
// test runs inside a private session).
inline void isolateUser()
{
    static QTemporaryDir home(QDir::tempPath() + QStringLiteral("/kumat-ui-home-XXXXXX"));
    if (qEnvironmentVariableIsSet("KUMAT_TEST_OWN_SESSION"))
        return;
    const QByteArray path = home.path().toUtf8();
    QDir(home.path()).mkpath(QStringLiteral(".config"));
    QDir(home.path()).mkpath(QStringLiteral("runtime"));
    QFile::setPermissions(home.path() + QStringLiteral("/runtime"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("HOME", path);
    qputenv("XDG_CONFIG_HOME", path + "/.config");
    qputenv("XDG_DATA_HOME", path + "/.local/share");
    qputenv("XDG_CACHE_HOME", path + "/.cache");
    qputenv("XDG_RUNTIME_DIR", path + "/runtime");
    qunsetenv("XDG_CONFIG_DIRS");
    qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + path + "/no-session-bus");
}

// Every request to a host other than the loopback goes to a local listener that
// accepts and never answers: the window's own update checks then neither leave
// this machine nor finish (and pop up their failure) while a test runs.
class LoopbackOnlyProxy : public QNetworkProxyFactory
{
public:
    explicit LoopbackOnlyProxy(quint16 blackHolePort) : port(blackHolePort) {}

    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override
    {
        const QString host = query.peerHostName();
        if (host == QLatin1String("localhost") || host == QLatin1String("127.0.0.1") || host == QLatin1String("::1"))
            return {QNetworkProxy(QNetworkProxy::NoProxy)};
        return {QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), port)};
    }

private:
    quint16 port;
};

inline void guardNetwork()
{
    static QTcpServer blackHole;
    static QList<QTcpSocket *> held;
    if (!blackHole.isListening()) {
        blackHole.listen(QHostAddress::LocalHost);
        QObject::connect(&blackHole, &QTcpServer::newConnection, [] {
            while (QTcpSocket *socket = blackHole.nextPendingConnection())
                held.append(socket);
        });
    }
    QNetworkProxyFactory::setApplicationProxyFactory(new LoopbackOnlyProxy(blackHole.serverPort()));
}

inline std::unique_ptr<QSettings> store()
{
    return std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Korvenalis"),
                                       QStringLiteral("KumatSync"));
}

inline void clearStore()
{
    auto settings = store();
    settings->clear();
    settings->sync();
}

struct ShownBox
{
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title;
    QString text;
    QMessageBox::StandardButtons buttons;
    Qt::TextFormat format = Qt::AutoText;
};

// Answers every modal message box as it opens (boxes that do not block are left
// alone: MainWindowTestAccess::openNotices finds them), records what it showed, and
// presses the next queued answer (OK, or the escape button, when none is queued).
class BoxAnswerer : public QObject
{
public:
    BoxAnswerer()
    {
        timer.setInterval(5);
        QObject::connect(&timer, &QTimer::timeout, this, [this] { poll(); });
        timer.start();
    }

    void answerNext(QMessageBox::StandardButton button) { answers.append(button); }

    QStringList titles() const
    {
        QStringList out;
        for (const ShownBox &box : boxes)
            out << box.title;
        return out;
    }

    QList<ShownBox> boxes;

private:
    void poll()
    {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box || !box->isVisible() || handled.contains(box))
            return;
        handled.append(box);
        boxes.append({box->icon(), box->windowTitle(), box->text(), box->standardButtons(), box->textFormat()});
        QAbstractButton *button = nullptr;
        if (!answers.isEmpty())
            button = box->button(answers.takeFirst());
        if (!button)
            button = box->button(QMessageBox::Ok);
        if (!button)
            button = box->escapeButton();
        if (button)
            button->click();
        else
            box->reject();
    }

    QTimer timer;
    QList<QMessageBox::StandardButton> answers;
    QList<QPointer<QMessageBox>> handled;
};

} // namespace UiTest

// Friend of MainWindow: the tests read its counters and owned objects.
struct MainWindowTestAccess
{
    MainWindow &w;

    ApiClient *apiClient() { return w.apiClient; }
    SyncEngine *syncEngine() { return w.syncEngine; }
    UpdateManager *updateManager() { return w.updateManager; }
    QTimer *speedTimer() { return w.speedTimer; }
    QTimer *updateTimer() { return w.updateTimer; }
    QProgressDialog *progressDialog() { return w.progressDialog; }
    QSystemTrayIcon *trayIcon() { return w.trayIcon; }
    QAction *pauseAction() { return w.pauseAction; }
    QAction *trayUpdateAction() { return w.trayUpdateAction; }
    bool quitting() const { return w.quitting; }
    qint64 &uploadRate() { return w.uploadRate; }
    qint64 &downloadRate() { return w.downloadRate; }
    qint64 &uploadBytesThisSecond() { return w.uploadBytesThisSecond; }
    qint64 &downloadBytesThisSecond() { return w.downloadBytesThisSecond; }
    qint64 &lastUploadProgress() { return w.lastUploadProgress; }
    qint64 &lastDownloadProgress() { return w.lastDownloadProgress; }
    void saveSettings(bool storePassword) { w.saveSettings(storePassword); }
    void loadSettings() { w.loadSettings(); }

    // the speed tick, without waiting for the real second to pass
    void tick() { QMetaObject::invokeMethod(w.speedTimer, "timeout"); }

    template<typename T>
    T *child(const char *name) { return w.findChild<T *>(QLatin1String(name)); }
    QLineEdit *edit(const char *name) { return child<QLineEdit>(name); }
    QSpinBox *spin(const char *name) { return child<QSpinBox>(name); }
    QCheckBox *check(const char *name) { return child<QCheckBox>(name); }
    QPushButton *button(const char *name) { return child<QPushButton>(name); }
    QLabel *statusLabel() { return child<QLabel>("statusLabel"); }

    // message boxes on screen that do not block anything
    QList<QMessageBox *> openNotices()
    {
        QList<QMessageBox *> open;
        for (QMessageBox *box : w.findChildren<QMessageBox *>())
            if (box->isVisible() && !box->isModal())
                open << box;
        return open;
    }
};

// QTEST_MAIN with the private user environment and the network guard.
#define KUMAT_UI_TEST_MAIN(TestObject)                                                                                 \
    int main(int argc, char **argv)                                                                                    \
    {                                                                                                                  \
        UiTest::isolateUser();                                                                                         \
        QApplication app(argc, argv);                                                                                  \
        QApplication::setQuitOnLastWindowClosed(false);                                                                \
        UiTest::guardNetwork();                                                                                        \
        TestObject tc;                                                                                                 \
        QTEST_SET_MAIN_SOURCE_PATH                                                                                     \
        return QTest::qExec(&tc, argc, argv);                                                                          \
    }
