#include "singlecopy.h"
#include "testprocess.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

const char helperOption[] = "--single-copy-helper";

QByteArray activationLine(const QStringList &arguments)
{
    return "activation " + QJsonDocument(QJsonArray::fromStringList(arguments)).toJson(QJsonDocument::Compact);
}

void printLine(const QByteArray &line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// A start of the program reduced to its claim, run as a child of the test:
// "<binary> --single-copy-helper <name> <arguments...>". It prints "first"
// when it became the first copy, then one line per hand-over it receives;
// a start that handed over ends at once with 0. With KUMAT_TEST_START_ON_GO
// it says "ready" and claims once a line arrives on its input, so that
// several start at the same moment.
int runHelper(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList all = QCoreApplication::arguments();
    SingleCopy copy(all.at(2));
    QObject::connect(&copy, &SingleCopy::activationRequested,
                     [](const QStringList &received) { printLine(activationLine(received)); });
    if (qEnvironmentVariableIsSet("KUMAT_TEST_START_ON_GO")) {
        printLine("ready");
        char go[8];
        if (!std::fgets(go, sizeof go, stdin))
            return 2;
    }
    if (!copy.claim(all.mid(3)))
        return 0;
    printLine("first");
    return QCoreApplication::exec();
}

// The next line a child printed, empty once it ended without one.
QByteArray nextLine(QProcess &process)
{
    while (!process.canReadLine()) {
        if (!process.waitForReadyRead(30000))
            return {};
    }
    return process.readLine().trimmed();
}

// waitForFinished is false for a process that ended already
bool ends(QProcess &process)
{
    return process.state() == QProcess::NotRunning || process.waitForFinished(30000);
}

} // namespace

class TestSingleCopy : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup();
    void claim_data();
    void claim();
    void handedOverArguments_data();
    void handedOverArguments();
    void startsAtOnce_data();
    void startsAtOnce();
    void secondStartOfTheProgramEnds();

private:
    QString uniqueName();
    QProcess *startCopy(const QString &name, const QStringList &arguments, bool onGo = false);
    QProcess *startFirstCopy(const QString &name);
    bool leaveStaleSocket(const QString &name);

    std::vector<std::unique_ptr<QProcess>> children;
    QStringList names;
};

// Names of this process alone, so that parallel runs and the user's own copy
// never meet; whatever a killed copy left under them goes with the test.
QString TestSingleCopy::uniqueName()
{
    names << QStringLiteral("kumat-tst-%1-%2").arg(QCoreApplication::applicationPid()).arg(names.size());
    return names.last();
}

void TestSingleCopy::cleanup()
{
    for (const auto &child : children) {
        child->kill();
        child->waitForFinished(10000);
    }
    children.clear();
    for (const QString &name : std::as_const(names)) {
        QLocalServer::removeServer(name);
        QFile::remove(QDir(QDir::tempPath()).absoluteFilePath(name + QStringLiteral(".lock")));
    }
    names.clear();
}

QProcess *TestSingleCopy::startCopy(const QString &name, const QStringList &arguments, bool onGo)
{
    children.push_back(std::make_unique<QProcess>());
    QProcess *child = children.back().get();
    if (onGo) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("KUMAT_TEST_START_ON_GO"), QStringLiteral("1"));
        child->setProcessEnvironment(environment);
    }
    child->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    TestProcess::start(*child, QCoreApplication::applicationFilePath(),
                       QStringList{QLatin1String(helperOption), name} + arguments, 30000);
    return child;
}

QProcess *TestSingleCopy::startFirstCopy(const QString &name)
{
    QProcess *child = startCopy(name, {QStringLiteral("zelnor-kumat-sync")});
    const QByteArray line = nextLine(*child);
    if (line == "first")
        return child;
    // what the copy did instead, for the failure that follows
    qWarning("the first copy said \"%s\" (state %d, exit code %d, %s)", line.constData(), int(child->state()),
             child->exitCode(), qPrintable(child->errorString()));
    return nullptr;
}

// A first copy that dies without closing its server, as a crash ends it: on
// Unix its socket file stays behind and refuses every connection.
bool TestSingleCopy::leaveStaleSocket(const QString &name)
{
    QProcess *crashed = startFirstCopy(name);
    if (!crashed)
        return false;
    crashed->kill();
    crashed->waitForFinished(10000);
#ifdef Q_OS_UNIX
    return QFileInfo::exists(QDir(QDir::tempPath()).absoluteFilePath(name));
#else
    return true;
#endif
}

void TestSingleCopy::claim_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<bool>("first");

    QTest::newRow("no copy runs") << "nothing" << true;
    QTest::newRow("a copy runs") << "copy" << false;
    QTest::newRow("the running copy crashed") << "crashed" << true;
    // busy: a copy that confirms nothing is still there, and its name stays its own
    QTest::newRow("a copy runs but does not answer") << "silent" << false;
}

void TestSingleCopy::claim()
{
    QFETCH(QString, before);
    QFETCH(bool, first);
    const QString name = uniqueName();

    QProcess *running = nullptr;
    QLocalServer silent;
    if (before == QLatin1String("copy")) {
        running = startFirstCopy(name);
        QVERIFY(running);
    } else if (before == QLatin1String("crashed")) {
        QVERIFY(leaveStaleSocket(name));
    } else if (before == QLatin1String("silent")) {
        QVERIFY(silent.listen(name));
    }

    SingleCopy copy(name);
    copy.setAnswerTimeout(1000);
    QSignalSpy activations(&copy, &SingleCopy::activationRequested);
    const QStringList arguments{QStringLiteral("zelnor-kumat-sync"), QStringLiteral("--check-update")};
    QCOMPARE(copy.claim(arguments), first);
    QCOMPARE(copy.isListening(), first);

    if (first) {
        // a later start finds this one and hands over
        const QStringList later{QStringLiteral("sonraki"), QStringLiteral("--check-update")};
        QProcess *start = startCopy(name, later);
        QVERIFY(activations.wait(30000));
        QCOMPARE(activations.size(), 1);
        QCOMPARE(activations.at(0).at(0).toStringList(), later);
        QVERIFY(ends(*start));
        QCOMPARE(start->exitStatus(), QProcess::NormalExit);
        QCOMPARE(start->exitCode(), 0);
    } else if (running) {
        QCOMPARE(nextLine(*running), activationLine(arguments));
        QCOMPARE(running->state(), QProcess::Running);
    } else {
        QLocalSocket probe;
        probe.connectToServer(name);
        QVERIFY2(probe.waitForConnected(5000), "the silent copy lost its name");
    }
}

void TestSingleCopy::handedOverArguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("received");

    const QString program = QStringLiteral("zelnor-kumat-sync");
    const QString check = QStringLiteral("--check-update");
    QTest::newRow("check for updates") << QStringList{program, check} << QStringList{program, check};
    QTest::newRow("only the program") << QStringList{program} << QStringList{program};
    const QStringList spaced{program, QStringLiteral("C:/Kullanıcılar/Çağrı Öztürk/Belgeler"), QStringLiteral("--ışık")};
    QTest::newRow("spaces and Turkish letters") << spaced << spaced;
    const QStringList empty{program, QString(), check, QString()};
    QTest::newRow("empty arguments keep their place") << empty << empty;
    QTest::newRow("what exceeds a hand-over stays behind")
        << QStringList{program, check, QString(70000, QLatin1Char('x')), QStringLiteral("--sonra")}
        << QStringList{program, check};
}

void TestSingleCopy::handedOverArguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, received);
    const QString name = uniqueName();
    QProcess *running = startFirstCopy(name);
    QVERIFY(running);

    SingleCopy copy(name);
    QVERIFY(!copy.claim(arguments));
    QCOMPARE(nextLine(*running), activationLine(received));
}

void TestSingleCopy::startsAtOnce_data()
{
    QTest::addColumn<bool>("afterCrash");

    QTest::newRow("first start of the day") << false;
    QTest::newRow("after a crash") << true;
}

// Autostart and a click while it loads: one first copy, which hears of every
// other start.
void TestSingleCopy::startsAtOnce()
{
    QFETCH(bool, afterCrash);
    const QString name = uniqueName();
    if (afterCrash)
        QVERIFY(leaveStaleSocket(name));

    QList<QProcess *> starts;
    for (int i = 0; i < 6; ++i) {
        starts << startCopy(name, {QStringLiteral("start-%1").arg(i)}, true);
        QCOMPARE(nextLine(*starts.last()), QByteArray("ready"));
    }
    for (QProcess *start : std::as_const(starts))
        start->write("go\n");
    for (QProcess *start : std::as_const(starts))
        QVERIFY(start->waitForBytesWritten(10000));

    QProcess *firstCopy = nullptr;
    QList<QByteArray> handedOver;
    for (int i = 0; i < starts.size(); ++i) {
        QProcess *start = starts.at(i);
        if (nextLine(*start) == "first") {
            QVERIFY2(!firstCopy, "two copies became the first");
            firstCopy = start;
            continue;
        }
        QVERIFY(ends(*start));
        QCOMPARE(start->exitStatus(), QProcess::NormalExit);
        QCOMPARE(start->exitCode(), 0);
        handedOver << activationLine({QStringLiteral("start-%1").arg(i)});
    }
    QVERIFY(firstCopy);

    QList<QByteArray> received;
    for (int i = 0; i < handedOver.size(); ++i)
        received << nextLine(*firstCopy);
    std::sort(received.begin(), received.end());
    std::sort(handedOver.begin(), handedOver.end());
    QCOMPARE(received, handedOver);
}

// The program itself: a second start hands over and ends with 0 before it
// has a window, while the first one stays.
void TestSingleCopy::secondStartOfTheProgramEnds()
{
    const QString program = qEnvironmentVariable("KUMAT_APP_BIN");
    QVERIFY2(QFileInfo::exists(program), qPrintable(program));
    QTemporaryDir home;
    QVERIFY(home.isValid());
    QVERIFY(QDir(home.path()).mkpath(QStringLiteral(".config")));
    // the runtime folder Qt would otherwise make under /tmp for the user
    QVERIFY(QDir(home.path()).mkpath(QStringLiteral("runtime")));
    QFile::setPermissions(home.filePath(QStringLiteral("runtime")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString name = uniqueName();

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral(".config")));
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral(".local/share")));
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), home.filePath(QStringLiteral(".cache")));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.filePath(QStringLiteral("runtime")));
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                       QStringLiteral("unix:path=") + home.filePath(QStringLiteral("no-session-bus")));
    environment.insert(QStringLiteral("KUMAT_SINGLE_COPY_NAME"), name);

    const auto startProgram = [&] {
        children.push_back(std::make_unique<QProcess>());
        QProcess *process = children.back().get();
        process->setProcessEnvironment(environment);
        process->setProcessChannelMode(QProcess::ForwardedChannels);
        process->start(program, QStringList());
        return process;
    };

    QProcess *first = startProgram();
    QVERIFY2(first->waitForStarted(30000), qPrintable(first->errorString()));
    const auto answers = [&name] {
        QLocalSocket probe;
        probe.connectToServer(name);
        return probe.waitForConnected(1000);
    };
    QTRY_VERIFY2_WITH_TIMEOUT(answers(), "the first start does not answer under its name", 30000);

    QProcess *second = startProgram();
    QVERIFY2(second->waitForFinished(10000), "the second start is still running");
    QCOMPARE(second->exitStatus(), QProcess::NormalExit);
    QCOMPARE(second->exitCode(), 0);

    // the first still runs and still takes hand-overs
    QCOMPARE(first->state(), QProcess::Running);
    SingleCopy later(name);
    QVERIFY(!later.claim({QStringLiteral("zelnor-kumat-sync")}));
    QCOMPARE(first->state(), QProcess::Running);
}

int main(int argc, char **argv)
{
    if (argc > 2 && qstrcmp(argv[1], helperOption) == 0)
        return runHelper(argc, argv);
    QCoreApplication app(argc, argv);
    TestSingleCopy test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_singlecopy.moc"
