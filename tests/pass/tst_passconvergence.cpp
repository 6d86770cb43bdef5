#include "passfixture.h"
#include "referenceserver.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonObject>
#include <QTest>

// Two desktops on one account. Whatever either side creates, edits or
// deletes, both folders end up alike, and every diverged copy survives
// somewhere: as a conflict copy, in a trash, or among the server's versions.
class TestPassConvergence : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY(fixture.start()); }
    void init() { QVERIFY(fixture.beginTest()); }
    void cleanup() { fixture.endTest(); }

    void twoDevicesConverge();

private:
    // Passes on both sides until neither has anything left to do.
    void settle(Device *a, Device *b);
    // The synchronised content of a folder: path to bytes, engine entries left out.
    static QMap<QString, QByteArray> content(Device *d);
    // Every content the server ever held for any node, live or trashed.
    QList<QByteArray> serverHistory();

    PassFixture fixture;
};

void TestPassConvergence::settle(Device *a, Device *b)
{
    for (int round = 0; round < 4; ++round) {
        a->pass();
        b->pass();
        const PassCounters ca = a->counters();
        const PassCounters cb = b->counters();
        QCOMPARE(ca.errors, 0);
        QCOMPARE(cb.errors, 0);
        const int work = ca.uploaded + ca.downloaded + ca.trashed + ca.localDeleted + ca.archived + cb.uploaded
            + cb.downloaded + cb.trashed + cb.localDeleted + cb.archived;
        if (work == 0)
            return;
    }
    QFAIL("the two folders kept changing");
}

QMap<QString, QByteArray> TestPassConvergence::content(Device *d)
{
    QMap<QString, QByteArray> files;
    for (const QString &path : d->filesUnder("")) {
        if (path == ".kumat-sync.json" || path.startsWith(".kumat-"))
            continue;
        files.insert(path, d->read(path));
    }
    return files;
}

QList<QByteArray> TestPassConvergence::serverHistory()
{
    QList<QByteArray> all;
    for (const QJsonValue &value : fixture.server->list(fixture.email())) {
        const QJsonObject n = value.toObject();
        for (const QJsonValue &v : n.value("versions").toArray())
            all.append(fixture.server->content(fixture.email(), n.value("id").toInteger(),
                                               v.toObject().value("version").toInteger()));
    }
    return all;
}

void TestPassConvergence::twoDevicesConverge()
{
    Device *a = fixture.device("a");
    Device *b = fixture.device("b");

    // creations on both sides
    QVERIFY(a->write("ortak/x.txt", "x1"));
    QVERIFY(a->write("a-den.txt", "a"));
    QVERIFY(b->write("b-den/derin/b.txt", "b"));
    settle(a, b);
    QCOMPARE(content(a), content(b));
    QCOMPARE(content(a).size(), 3);

    // an edit on one side
    QVERIFY(a->write("ortak/x.txt", "x2 a'dan"));
    settle(a, b);
    QCOMPARE(b->read("ortak/x.txt"), QByteArray("x2 a'dan"));

    // a deletion on the other
    QVERIFY(QFile::remove(b->path("a-den.txt")));
    settle(a, b);
    QVERIFY(!a->exists("a-den.txt"));
    QVERIFY(!b->exists("a-den.txt"));

    // both edit the same file before either syncs
    QVERIFY(a->write("ortak/x.txt", "x3 a'nın düzenlemesi"));
    QVERIFY(b->write("ortak/x.txt", "x3 b'nin düzenlemesi"));
    // both create the same new path with different content
    QVERIFY(a->write("yeni.txt", "a'nın yenisi"));
    QVERIFY(b->write("yeni.txt", "b'nin yenisi"));
    // one edits what the other deletes
    QVERIFY(a->write("b-den/derin/b.txt", "b, a'da düzenlendi"));
    QVERIFY(QFile::remove(b->path("b-den/derin/b.txt")));
    settle(a, b);

    QCOMPARE(content(a), content(b));

    // every diverged copy is still somewhere: a live file, a conflict copy on
    // either desktop, or a version the server keeps
    QList<QByteArray> everywhere = content(a).values() + serverHistory();
    for (Device *d : {a, b}) {
        for (const QString &path : d->filesUnder(".kumat-conflicts"))
            everywhere.append(d->read(".kumat-conflicts/" + path));
    }
    for (const QByteArray &made : {QByteArray("x3 a'nın düzenlemesi"), QByteArray("x3 b'nin düzenlemesi"),
                                   QByteArray("a'nın yenisi"), QByteArray("b'nin yenisi"),
                                   QByteArray("b, a'da düzenlendi")})
        QVERIFY2(everywhere.contains(made), made.constData());

    // the conflicts left copies on the desktop that lost them
    QVERIFY(!a->filesUnder(".kumat-conflicts").isEmpty() || !b->filesUnder(".kumat-conflicts").isEmpty());

    // the state files agree with the server on every synchronised file
    for (Device *d : {a, b}) {
        const QJsonObject saved = d->savedState();
        QCOMPARE(QStringList(saved.keys()), QStringList(content(d).keys()));
        for (const QString &path : saved.keys()) {
            const QJsonObject n = fixture.server->node(fixture.email(), path);
            QCOMPARE(saved.value(path).toObject().value("remote_id").toInteger(), n.value("id").toInteger());
            QCOMPARE(saved.value(path).toObject().value("local_hash").toString(), n.value("sha256").toString());
        }
    }
}

QTEST_GUILESS_MAIN(TestPassConvergence)
#include "tst_passconvergence.moc"
