#include "uitest.h"

#include "passwordprotection.h"
#include "scriptedserver.h"
#include "secretkey_unix.h"
#include "testtls.h"

#include <QStandardPaths>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

using namespace UiTest;

// Password protection against a real Secret Service: a private D-Bus session
// with its own GNOME Keyring, started by main() below around this very binary.
class TestKeyring : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();
    void roundTrip_data();
    void roundTrip();
    void damagedText_data();
    void damagedText();
    void lostKey();
    void rememberedPasswordConnectsAtStartup();

private:
    std::unique_ptr<QTemporaryDir> temp;
};

void TestKeyring::initTestCase()
{
    const QString skip = qEnvironmentVariable("KUMAT_KEYRING_SKIP");
    if (!skip.isEmpty())
        QSKIP(qPrintable(skip));
    QVERIFY(TestTls::ensure());
}

void TestKeyring::init()
{
    clearStore();
    temp = std::make_unique<QTemporaryDir>();
}

void TestKeyring::cleanup()
{
    temp->setAutoRemove(!QTest::currentTestFailed());
}

void TestKeyring::roundTrip_data()
{
    QTest::addColumn<QString>("password");
    QTest::newRow("plain") << QStringLiteral("parola-123");
    QTest::newRow("turkish") << QStringLiteral("Çığ düşürür ÖĞRETMEN");
    QTest::newRow("blanks") << QStringLiteral("   ");
    QTest::newRow("empty") << QString();
}

void TestKeyring::roundTrip()
{
    QFETCH(QString, password);
    const QString first = protectPassword(password);
    QVERIFY(!first.isEmpty());
    const QString second = protectPassword(password);
    QVERIFY(first != second); // fresh nonce each time, one key
    std::string key;
    QCOMPARE(SecretKey::lookup(&key), SecretKey::Lookup::Found);
    for (const QString &text : {first, second}) {
        QString out = QStringLiteral("untouched");
        QVERIFY(unprotectPassword(text, &out));
        QCOMPARE(out, password);
    }
}

void TestKeyring::damagedText_data()
{
    QTest::addColumn<QString>("change");
    QTest::newRow("flipped byte") << "flip";
    QTest::newRow("cut short") << "cut";
    QTest::newRow("not base64") << "garbage";
    QTest::newRow("empty") << "empty";
}

void TestKeyring::damagedText()
{
    QFETCH(QString, change);
    const QString text = protectPassword(QStringLiteral("parola"));
    QVERIFY(!text.isEmpty());
    QByteArray blob = QByteArray::fromBase64(text.toLatin1());
    QString damaged;
    if (change == "flip") {
        blob[blob.size() / 2] = char(blob[blob.size() / 2] ^ 0x20);
        damaged = QString::fromLatin1(blob.toBase64());
    } else if (change == "cut") {
        damaged = QString::fromLatin1(blob.left(blob.size() - 4).toBase64());
    } else if (change == "garbage") {
        damaged = QStringLiteral("bu*base64*değil");
    }
    QString out = QStringLiteral("untouched");
    QVERIFY(!unprotectPassword(damaged, &out));
    QCOMPARE(out, QStringLiteral("untouched"));
}

void TestKeyring::lostKey()
{
    const QString text = protectPassword(QStringLiteral("parola"));
    QVERIFY(!text.isEmpty());
    QVERIFY(SecretKey::clear());
    QString out;
    QVERIFY(!unprotectPassword(text, &out));
    // reading never makes a key
    std::string key;
    QCOMPARE(SecretKey::lookup(&key), SecretKey::Lookup::Missing);
    // protecting makes a new one; the old text stays unreadable
    const QString again = protectPassword(QStringLiteral("parola"));
    QVERIFY(!again.isEmpty());
    QVERIFY(unprotectPassword(again, &out));
    QCOMPARE(out, QStringLiteral("parola"));
    QVERIFY(!unprotectPassword(text, &out));
}

void TestKeyring::rememberedPasswordConnectsAtStartup()
{
    ScriptedHttpsServer server;
    QVERIFY(server.listen());
    server.setHandler([](const ScriptedRequest &request) {
        if (request.target == "/api/v1/auth/login")
            return ScriptedResponse::json(200, "{\"ok\":true,\"token\":\"t0k3n\"}");
        return ScriptedResponse::json(503, "{\"ok\":false,\"message\":\"Bakımdayız.\"}");
    });
    BoxAnswerer boxes; // the engine reports the failed snapshot
    {
        MainWindow w;
        MainWindowTestAccess a{w};
        QCoreApplication::processEvents();
        a.edit("serverEdit")->setText(server.baseUrl());
        a.edit("emailEdit")->setText("ayse@example.com");
        a.edit("passwordEdit")->setText("parola-123");
        a.edit("folderEdit")->setText(temp->path() + "/Kumat");
        a.check("rememberPasswordCheck")->setChecked(true);
        QTest::mouseClick(a.button("connectButton"), Qt::LeftButton);
        QVERIFY(!boxes.titles().contains(QStringLiteral("Parola saklanamadı")));
        QCOMPARE(server.requests.size() >= 1, true);
        const QString stored = store()->value("password").toString();
        QVERIFY(!stored.isEmpty());
        QVERIFY(!stored.contains(QStringLiteral("parola")));
        QVERIFY(!QByteArray::fromBase64(stored.toLatin1()).contains("parola-123"));
        QMetaObject::invokeMethod(&w, "stopSync");
    }
    server.requests.clear();

    // the next start fills the password and connects without a click
    MainWindow w;
    MainWindowTestAccess a{w};
    QCOMPARE(a.edit("passwordEdit")->text(), QStringLiteral("parola-123"));
    QTRY_VERIFY(!server.requests.isEmpty());
    QCOMPARE(server.requests.first().target, QByteArray("/api/v1/auth/login"));
    QMetaObject::invokeMethod(&w, "stopSync");
}

// Runs the tests inside "dbus-run-session" with a freshly unlocked GNOME Keyring
// and a home of their own, so the user's keyring is never touched.
int main(int argc, char **argv)
{
    if (!qEnvironmentVariableIsSet("KUMAT_TEST_OWN_SESSION")) {
        const bool tools = !QStandardPaths::findExecutable(QStringLiteral("dbus-run-session")).isEmpty()
            && !QStandardPaths::findExecutable(QStringLiteral("gnome-keyring-daemon")).isEmpty();
        if (!tools) {
            qputenv("KUMAT_KEYRING_SKIP", "dbus-run-session or gnome-keyring-daemon is not installed "
                                          "(Debian packages dbus and gnome-keyring)");
        } else {
            QByteArray home = QDir::tempPath().toUtf8() + "/kumat-keyring-XXXXXX";
            if (!mkdtemp(home.data()))
                return 2;
            const QByteArray runtime = home + "/runtime";
            mkdir(runtime.constData(), 0700);
            const pid_t child = fork();
            if (child == 0) {
                setenv("HOME", home.constData(), 1);
                setenv("XDG_RUNTIME_DIR", runtime.constData(), 1);
                setenv("XDG_CONFIG_HOME", (home + "/.config").constData(), 1);
                setenv("XDG_DATA_HOME", (home + "/.local/share").constData(), 1);
                setenv("XDG_CACHE_HOME", (home + "/.cache").constData(), 1);
                setenv("KUMAT_TEST_OWN_SESSION", "1", 1);
                unsetenv("DBUS_SESSION_BUS_ADDRESS");
                unsetenv("DISPLAY");
                std::vector<char *> args{const_cast<char *>("dbus-run-session"), const_cast<char *>("--"),
                                         const_cast<char *>("sh"), const_cast<char *>("-c"),
                                         const_cast<char *>(
                                             "if ! printf kumat-test | gnome-keyring-daemon --unlock "
                                             "--components=secrets >/dev/null; then "
                                             "export KUMAT_KEYRING_SKIP='gnome-keyring-daemon did not start'; fi; "
                                             "exec \"$0\" \"$@\"")};
                for (int i = 0; i < argc; ++i)
                    args.push_back(argv[i]);
                args.push_back(nullptr);
                execvp("dbus-run-session", args.data());
                _exit(127);
            }
            int status = 0;
            waitpid(child, &status, 0);
            QDir(QString::fromUtf8(home)).removeRecursively();
            return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
        }
    }
    UiTest::isolateUser();
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    UiTest::guardNetwork();
    TestKeyring tc;
    return QTest::qExec(&tc, argc, argv);
}

#include "tst_keyring.moc"
