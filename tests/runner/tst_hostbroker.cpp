#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

// The host broker runs host programs for the Windows tests under Wine, as
// whoever runs the suite (root in CI), for connections on loopback: it must
// serve only its own run and run only what the tests need, with their files.
class TestHostBroker : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void requests_data();
    void requests();
    void otherRunsGetNothing_data();
    void otherRunsGetNothing();

private:
    struct Answer
    {
        QByteArray out;
        QByteArray err;
        int code = -1; // -1: the broker closed without an exit code
    };
    Answer request(const QByteArray &secret, const QString &name, const QString &cwd, const QStringList &args);
    QString host(const QString &windowsPath) const;

    QTemporaryDir dir;
    QString prefix;
    QProcess broker;
    quint16 port = 0;
    const QByteArray secret = QByteArray("3f9a") + QByteArray::number(QRandomGenerator::global()->generate());
};

void TestHostBroker::initTestCase()
{
    QVERIFY(dir.isValid());
    // a Wine prefix as the broker sees it: drive C: in it, Z: the whole machine
    prefix = dir.filePath(QStringLiteral("prefix"));
    QVERIFY(QDir().mkpath(prefix + QStringLiteral("/drive_c/work/tls")));
    QVERIFY(QDir().mkpath(prefix + QStringLiteral("/dosdevices")));
    QVERIFY(QFile::link(QStringLiteral("../drive_c"), prefix + QStringLiteral("/dosdevices/c:")));
    QVERIFY(QFile::link(QStringLiteral("/"), prefix + QStringLiteral("/dosdevices/z:")));
    QVERIFY(QFile::link(dir.path(), prefix + QStringLiteral("/drive_c/work/out")));
    // every host program is this one: it leaves a mark and shows its arguments
    const QString program = dir.filePath(QStringLiteral("program"));
    QFile script(program);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\ntouch \"$(dirname \"$0\")/ran\"\nprintf '%s\\n' \"$@\"\n");
    script.close();
    QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KUMAT_HOST_BROKER_SECRET"), QString::fromLatin1(secret));
    broker.setProcessEnvironment(env);
    QStringList args{prefix};
    for (const char *name : {"kumat-server", "openssl", "mv", "kumat-tls-front", "sqlite3", "sh"})
        args << QLatin1String(name) + QLatin1Char('=') + program;
    broker.start(qEnvironmentVariable("KUMAT_HOST_BROKER"), args);
    QVERIFY2(broker.waitForStarted(), qPrintable(broker.errorString()));
    QTRY_VERIFY(broker.canReadLine());
    port = quint16(broker.readLine().trimmed().toUInt());
    QVERIFY(port != 0);
}

void TestHostBroker::cleanupTestCase()
{
    broker.kill();
    broker.waitForFinished();
}

QString TestHostBroker::host(const QString &windowsPath) const
{
    return prefix + QStringLiteral("/dosdevices/c:/") + windowsPath.mid(3);
}

TestHostBroker::Answer TestHostBroker::request(const QByteArray &key, const QString &name, const QString &cwd,
                                               const QStringList &args)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    Answer answer;
    if (!socket.waitForConnected(5000))
        return answer;
    QByteArray message;
    const auto add = [&](const QByteArray &text) {
        char size[4];
        qToBigEndian(quint32(text.size()), size);
        message.append(size, 4).append(text);
    };
    add(key);
    add(name.toUtf8());
    add(cwd.toUtf8());
    char count[4];
    qToBigEndian(quint32(args.size()), count);
    message.append(count, 4);
    for (const QString &arg : args)
        add(arg.toUtf8());
    socket.write(message);
    QByteArray data;
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(int(deadline.remainingTime())))
            break;
        data += socket.readAll();
        while (data.size() >= 5) {
            const quint32 size = qFromBigEndian<quint32>(data.constData() + 1);
            if (data.at(0) == 'x') {
                answer.code = int(size);
                return answer;
            }
            if (quint32(data.size()) < 5 + size)
                break;
            (data.at(0) == 'o' ? answer.out : answer.err) += data.mid(5, int(size));
            data.remove(0, 5 + int(size));
        }
    }
    return answer;
}

namespace {

void row(const char *tag, const char *name, const QString &cwd, const QStringList &args,
         const QStringList &passed = QStringList())
{
    QTest::newRow(tag) << QString::fromLatin1(name) << cwd << args << passed;
}

} // namespace

void TestHostBroker::requests_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("cwd");
    QTest::addColumn<QStringList>("args");
    // what the host program gets, C:/ standing for the prefix's drive; none: refused
    QTest::addColumn<QStringList>("passed");

    const QString w = QStringLiteral("C:/work");
    const QStringList serve{"serve", "--data", w + "/data", "--cert", w + "/s.pem", "--key", w + "/s.key",
                            "--listen", "127.84.3.4", "--port", "443", "--downloads", w + "/dl"};
    row("server serves the test's files on loopback", "kumat-server", w, serve, serve);
    const QStringList admin{"put-file", "--data", w + "/data", "--email", "a@b.c", "--path", "/Belgeler/a.txt",
                            "--from", w + "/put-1", "--json"};
    row("server admin command", "kumat-server", w, admin, admin);
    row("server data outside the prefix", "kumat-server", w, {"list", "--data", "Z:/etc", "--email", "a@b.c"});
    row("server data through a link out of the prefix", "kumat-server", w,
        {"list", "--data", w + "/out/x", "--email", "a@b.c"});
    row("server data given relative", "kumat-server", w, {"list", "--data", "../../x", "--email", "a@b.c"});
    row("server gets a file out of the prefix", "kumat-server", w,
        {"get", "--data", w + "/data", "--email", "a@b.c", "--id", "1", "--version", "1", "--to", "Z:/root/x"});
    row("server on every address", "kumat-server", w, QStringList(serve).replaceInStrings("127.84.3.4", "0.0.0.0"));
    row("server, not one of its commands", "kumat-server", w, {"shell", "--data", w + "/data"});
    row("server, an option it does not have", "kumat-server", w, {"list", "--config", "Z:/etc/shadow"});

    const QStringList req{"req", "-x509", "-newkey", "ec", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
                          "-subj", "/CN=Kumat Test CA 1", "-addext", "basicConstraints=critical,CA:TRUE"};
    QStringList reqPassed = req;
    reqPassed[6] = w + "/tls/ca.key";
    reqPassed[8] = w + "/tls/ca.pem";
    row("openssl makes a certificate", "openssl", w + "/tls", req, reqPassed);
    row("openssl writes out of the prefix", "openssl", w + "/tls",
        {"x509", "-req", "-in", "s.csr", "-out", "../../../../../../../../tmp/x"});
    row("openssl in a folder outside", "openssl", "Z:/etc", {"req", "-nodes"});
    row("openssl, a command the tests do not use", "openssl", w, {"enc", "-in", "a", "-out", "b"});

    row("mv changes the letter case", "mv", w, {w + "/Belge.txt", w + "/belge.TXT"},
        {"-T", "--", w + "/Belge.txt", w + "/belge.TXT"});
    row("mv to another name", "mv", w, {w + "/a.txt", w + "/b.txt"});
    row("mv out of the prefix", "mv", w, {w + "/a", "Z:/tmp/A"});
    row("mv with an option", "mv", w, {"-f", w + "/a", w + "/A"});

    row("TLS front", "kumat-tls-front", w, {w + "/s.pem", w + "/s.key", "4321"}, {w + "/s.pem", w + "/s.key", "4321"});
    row("TLS front with a key outside", "kumat-tls-front", w, {w + "/s.pem", "Z:/etc/ssl/private/k", "4321"});
    const QString db = w + "/data/kumat.db";
    row("sqlite3 changes the store, always in safe mode", "sqlite3", w,
        {"-bail", "-cmd", ".timeout 20000", db, "BEGIN IMMEDIATE;UPDATE nodes SET name = 'a' WHERE id = 1;COMMIT;"},
        {"-safe", "-bail", "-cmd", ".timeout 20000", db, "BEGIN IMMEDIATE;UPDATE nodes SET name = 'a' WHERE id = 1;COMMIT;"});
    row("sqlite3 reads the store", "sqlite3", w, {"-safe", "-readonly", db, "SELECT id FROM users;"},
        {"-safe", "-readonly", db, "SELECT id FROM users;"});
    row("sqlite3 with a store outside", "sqlite3", w, {"Z:/root/x.db", "SELECT 1;"});
    row("sqlite3 with a dot-command", "sqlite3", w, {db, " .shell id"});
    row("sqlite3 with a command before the script", "sqlite3", w, {"-cmd", ".shell id", db, "SELECT 1;"});
    row("sqlite3 with another option", "sqlite3", w, {"-init", "Z:/tmp/x", db, "SELECT 1;"});
    row("sqlite3 with two scripts", "sqlite3", w, {db, "SELECT 1;", "SELECT 2;"});
    row("a program given but not one the tests use", "sh", w, {"-c", "id"});
    row("a program not given", "bash", w, {"-c", "id"});
}

void TestHostBroker::requests()
{
    QFETCH(QString, name);
    QFETCH(QString, cwd);
    QFETCH(QStringList, args);
    QFETCH(QStringList, passed);
    const QString mark = dir.filePath(QStringLiteral("ran"));
    QFile::remove(mark);

    const Answer answer = request(secret, name, cwd, args);
    if (passed.isEmpty()) {
        QCOMPARE(answer.code, 126);
        QVERIFY2(answer.err.startsWith("host broker: "), answer.err.constData());
        QVERIFY(!QFileInfo::exists(mark));
        return;
    }
    QVERIFY2(answer.code == 0, answer.err.constData());
    QStringList expected;
    for (const QString &arg : passed)
        expected << (arg.startsWith(QLatin1String("C:/")) ? host(arg) : arg);
    QCOMPARE(QString::fromUtf8(answer.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts), expected);
}

void TestHostBroker::otherRunsGetNothing_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::newRow("no secret") << QByteArray();
    QTest::newRow("another run's secret") << QByteArray("3f9a0");
    QTest::newRow("this run's secret with more after it") << secret + "0";
}

void TestHostBroker::otherRunsGetNothing()
{
    QFETCH(QByteArray, key);
    const QString mark = dir.filePath(QStringLiteral("ran"));
    QFile::remove(mark);
    const Answer answer = request(key, QStringLiteral("kumat-tls-front"), QStringLiteral("C:/work"),
                                  {QStringLiteral("C:/work/s.pem"), QStringLiteral("C:/work/s.key"), QStringLiteral("1")});
    QCOMPARE(answer.code, -1);
    QVERIFY(answer.out.isEmpty() && answer.err.isEmpty());
    QVERIFY(!QFileInfo::exists(mark));
}

QTEST_GUILESS_MAIN(TestHostBroker)
#include "tst_hostbroker.moc"
