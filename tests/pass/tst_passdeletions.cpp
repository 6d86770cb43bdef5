#include "passfixture.h"
#include "referenceserver.h"
#include "testplatform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>

// Deletions in all three directions: on the web portal (archived here), here
// (to the server trash) and in the mobile application (to the local trash).
class TestPassDeletions : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase() { QVERIFY(fixture.start()); }
    void init() { QVERIFY(fixture.beginTest()); }
    void cleanup() { fixture.endTest(); }

    void portalDeletedFileIsArchived_data();
    void portalDeletedFileIsArchived();
    void portalDeletedFolderMovesWhole();
    void folderMadeAgainAfterPortalDeletion_data();
    void folderMadeAgainAfterPortalDeletion();
    void fileMadeAgainAfterPortalDeletion();
    void unverifiableRecordIsSkipped();
    void idMismatchIsSkipped();
    void failedArchiveMoveLeavesItemUntouched();
    void localDeletionGoesToServerTrashOnce();
    void failedServerDeletionIsRetried_data();
    void failedServerDeletionIsRetried();
    void localDeletionSparesVersionNotSeenHere_data();
    void localDeletionSparesVersionNotSeenHere();
    void fileOnDiskButNotScannedIsNotDeleted();
    void unseenIsLeftAlone_data();
    void unseenIsLeftAlone();
    void letterCaseRenameReachesServer();
    void mobileDeletionMovesLocalCopyToTrash();
    void mobileDeletionKeepsEditedCopy();
    void refusedTrashCountsAsFailedRemoval();
    void recordGoneOnBothSidesIsForgotten();
    void serverMoveIsFollowed_data();
    void serverMoveIsFollowed();

private:
    QJsonObject node(const QString &path) { return fixture.server->node(fixture.email(), path); }
    QStringList trashed() const
    {
        QDir dir(fixture.trashFilesDir());
        return dir.entryList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
    }

    PassFixture fixture;
};


void TestPassDeletions::portalDeletedFileIsArchived_data()
{
    QTest::addColumn<QString>("kind");
    for (const char *kind : {"deleted", "deleted_items", "tombstones", "deleted_ids", "flagged-deleted",
                             "flagged-is_deleted", "flagged-deleted_at"})
        QTest::newRow(kind) << QString::fromLatin1(kind);
}

void TestPassDeletions::portalDeletedFileIsArchived()
{
    QFETCH(QString, kind);
    Device *d = fixture.synced({{"a/b/c.txt", "portal"}, {"kalan.txt", "kalır"}});
    QVERIFY(d->savedState().contains("a/b/c.txt"));
    QVERIFY(fixture.server->portalDelete(fixture.email(), "a/b/c.txt", kind));
    d->pass();

    QVERIFY(!d->exists("a/b/c.txt"));
    const QStringList archive = d->filesUnder(".kumat-portal-silinenler");
    QCOMPARE(archive.size(), 1);
    QVERIFY(QRegularExpression("^\\d{8}-\\d{6}-\\d{3}/a/b/c\\.txt$").match(archive.first()).hasMatch());
    QCOMPARE(d->read(".kumat-portal-silinenler/" + archive.first()), QByteArray("portal"));
    QCOMPARE(d->counters().archived, 1);
    QCOMPARE(d->counters().errors, 0);
    QVERIFY(d->loggedStartingWith("Portalda silinen öğe yerel arşive taşındı: "));
    QVERIFY(!d->savedState().contains("a/b/c.txt"));
    QVERIFY(d->savedState().contains("kalan.txt"));

    // nothing comes back: neither uploaded nor downloaded again
    d->pass();
    QCOMPARE(d->counters().uploaded, 0);
    QCOMPARE(d->counters().archived, 0);
    QVERIFY(!d->exists("a/b/c.txt"));
    QVERIFY(node("a/b/c.txt").value("trashed").toBool());
}

void TestPassDeletions::portalDeletedFolderMovesWhole()
{
    Device *d = fixture.synced({{"Photos/a.jpg", "A"}, {"Photos/2024/b.jpg", "B"}});
    QVERIFY(d->write("Photos/yeni.txt", "hiç eşitlenmedi"));
    QVERIFY(fixture.server->portalDelete(fixture.email(), "Photos", "deleted"));
    d->pass();

    QVERIFY(!d->exists("Photos"));
    const QStringList archive = d->filesUnder(".kumat-portal-silinenler");
    QCOMPARE(archive.size(), 3);
    const QString stamp = archive.first().section('/', 0, 0);
    QCOMPARE(archive, QStringList({stamp + "/Photos/2024/b.jpg", stamp + "/Photos/a.jpg", stamp + "/Photos/yeni.txt"}));
    QCOMPARE(d->counters().archived, 1);
    QCOMPARE(d->counters().uploaded, 0);
    const QJsonObject saved = d->savedState();
    QVERIFY(!saved.contains("Photos/a.jpg"));
    QVERIFY(!saved.contains("Photos/2024/b.jpg"));
    QVERIFY(node("Photos/yeni.txt").isEmpty());
}

void TestPassDeletions::folderMadeAgainAfterPortalDeletion_data()
{
    QTest::addColumn<bool>("madeHere");
    // made again by this user after this device archived the old folder, or
    // by another device before this one saw the deletion
    QTest::newRow("here, after the archive") << true;
    QTest::newRow("elsewhere, before this pass") << false;
}

void TestPassDeletions::folderMadeAgainAfterPortalDeletion()
{
    // The deletion record of the old folder stays in the snapshot; the new
    // folder at the same path, with the user's unsent work in it, must not
    // be archived when one of its files is deleted elsewhere.
    QFETCH(bool, madeHere);
    Device *d = fixture.synced({{"Photos/a.jpg", "eski"}});
    QVERIFY(fixture.server->portalDelete(fixture.email(), "Photos", "deleted"));
    if (madeHere) {
        d->pass();
        QCOMPARE(d->counters().archived, 1);
        QVERIFY(d->write("Photos/yeni.jpg", "yeni"));
        QVERIFY(d->write("Photos/sil.jpg", "sil"));
    } else {
        QVERIFY(fixture.server->putFile(fixture.email(), "Photos/yeni.jpg", "yeni"));
        QVERIFY(fixture.server->putFile(fixture.email(), "Photos/sil.jpg", "sil"));
    }
    d->pass();
    QCOMPARE(d->counters().errors, 0);
    QVERIFY(d->savedState().contains("Photos/sil.jpg"));

    QVERIFY(fixture.server->mobileDelete(fixture.email(), "Photos/sil.jpg"));
    QVERIFY(d->write("Photos/yeni.jpg", "düzenlendi"));
    QVERIFY(d->write("Photos/yerel.txt", "hiç gönderilmedi"));
    d->pass();
    QVERIFY(d->logged("Klasör kumatta yeniden oluşturulmuş, eski portal silme kaydı atlandı: Photos"));
    d->pass();
    d->pass();

    QCOMPARE(d->counters().errors, 0);
    QCOMPARE(d->read("Photos/yeni.jpg"), QByteArray("düzenlendi"));
    QCOMPARE(fixture.server->content(fixture.email(), node("Photos/yeni.jpg").value("id").toInteger()),
             QByteArray("düzenlendi"));
    QCOMPARE(fixture.server->content(fixture.email(), node("Photos/yerel.txt").value("id").toInteger()),
             QByteArray("hiç gönderilmedi"));
    QVERIFY(!d->exists("Photos/a.jpg"));
    QVERIFY(!d->exists("Photos/sil.jpg"));
    // the old folder is archived only where this device met its deletion first
    const QStringList archive = d->filesUnder(".kumat-portal-silinenler");
    QCOMPARE(archive.size(), madeHere ? 1 : 0);
    if (madeHere)
        QVERIFY(archive.first().endsWith("/Photos/a.jpg"));
    else
        QVERIFY(trashed().contains("a.jpg"));
    QVERIFY(d->savedState().contains("Photos/yeni.jpg"));
    QVERIFY(d->savedState().contains("Photos/yerel.txt"));
}

void TestPassDeletions::fileMadeAgainAfterPortalDeletion()
{
    Device *d = fixture.synced({{"a.txt", "eski"}});
    QVERIFY(fixture.server->portalDelete(fixture.email(), "a.txt", "tombstones"));
    QVERIFY(fixture.server->putFile(fixture.email(), "a.txt", "yeni düğüm"));
    d->pass();
    QCOMPARE(d->counters().archived, 1);
    QCOMPARE(d->counters().uploaded, 0);
    QCOMPARE(d->counters().trashed, 0);

    d->pass();
    d->pass();
    QCOMPARE(d->read("a.txt"), QByteArray("yeni düğüm"));
    QVERIFY(!node("a.txt").value("trashed").toBool());
    QCOMPARE(fixture.server->content(fixture.email(), node("a.txt").value("id").toInteger()), QByteArray("yeni düğüm"));
    QCOMPARE(d->filesUnder(".kumat-portal-silinenler").size(), 1);
}

void TestPassDeletions::unverifiableRecordIsSkipped()
{
    // deleted on the portal before this device ever saw it
    QVERIFY(fixture.server->putFile(fixture.email(), "yabancı.txt", "x"));
    QVERIFY(fixture.server->portalDelete(fixture.email(), "yabancı.txt", "tombstones"));
    Device *d = fixture.device();
    QVERIFY(d->write("yabancı.txt", "benim dosyam"));
    d->pass();

    QVERIFY(d->logged("Doğrulanamayan portal silme kaydı atlandı: yabancı.txt"));
    QCOMPARE(d->counters().archived, 0);
    QCOMPARE(d->counters().errors, 0);
    // a new local file of the same name is this user's own, and is uploaded
    QCOMPARE(d->read("yabancı.txt"), QByteArray("benim dosyam"));
    QCOMPARE(d->counters().uploaded, 1);
}

void TestPassDeletions::idMismatchIsSkipped()
{
    QVERIFY(fixture.server->putFile(fixture.email(), "a.txt", "ilk"));
    QVERIFY(fixture.server->portalDelete(fixture.email(), "a.txt", "deleted"));
    QVERIFY(fixture.server->putFile(fixture.email(), "a.txt", "ikinci düğüm"));
    Device *d = fixture.device();
    d->pass();
    QCOMPARE(d->read("a.txt"), QByteArray("ikinci düğüm"));

    // the old node's deletion record must not take the new node's file away
    d->pass();
    QVERIFY(d->logged("Kimliği uyuşmayan portal silme kaydı atlandı: a.txt"));
    QCOMPARE(d->read("a.txt"), QByteArray("ikinci düğüm"));
    QVERIFY(!d->exists(".kumat-portal-silinenler"));
    QVERIFY(d->savedState().contains("a.txt"));
}

void TestPassDeletions::failedArchiveMoveLeavesItemUntouched()
{
    Device *d = fixture.synced({{"a.txt", "korunacak"}});
    // a file where the archive folder should go makes every move fail
    QVERIFY(d->write(".kumat-portal-silinenler", "engel"));
    QVERIFY(fixture.server->portalDelete(fixture.email(), "a.txt", "deleted"));
    d->pass();

    QVERIFY(d->logged("Portalda silinen öğe güvenli arşive taşınamadı: a.txt"));
    QVERIFY(d->noticed("Senkronizasyon uyarısı"));
    QCOMPARE(d->counters().errors, 1);
    QCOMPARE(d->counters().localDeleted, 0);
    QCOMPARE(d->counters().uploaded, 0);
    QCOMPARE(d->read("a.txt"), QByteArray("korunacak"));
    QVERIFY(trashed().isEmpty());
    QVERIFY(d->savedState().contains("a.txt"));

    // once the way is clear the next pass archives it
    QVERIFY(QFile::remove(d->path(".kumat-portal-silinenler")));
    d->pass();
    QCOMPARE(d->counters().archived, 1);
    QVERIFY(!d->exists("a.txt"));
}

void TestPassDeletions::localDeletionGoesToServerTrashOnce()
{
    Device *d = fixture.synced({{"belge.txt", "sil"}, {"kalsın.txt", "kal"}});
    QVERIFY(QFile::remove(d->path("belge.txt")));
    d->pass();

    QCOMPARE(d->counters().trashed, 1);
    QCOMPARE(d->counters().errors, 0);
    QVERIFY(d->logged("Çöp kutusuna taşındı: belge.txt"));
    QVERIFY(d->noticed("Dosya silindi"));
    QVERIFY(node("belge.txt").value("trashed").toBool());
    QVERIFY(!node("kalsın.txt").value("trashed").toBool());
    QVERIFY(!d->savedState().contains("belge.txt"));

    d->pass();
    QCOMPARE(d->counters().trashed, 0);
    QCOMPARE(d->counters().downloaded, 0);
    QVERIFY(!d->exists("belge.txt"));
}

void TestPassDeletions::failedServerDeletionIsRetried_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("retried");
    QTest::newRow("server fault") << "status" << 503 << true;
    // the pass ends there, with nothing recorded
    QTest::newRow("sign-in expired") << "status" << 401 << true;
    QTest::newRow("server busy") << "status" << 429 << true;
    // the node is gone already: the deletion holds, and nothing comes back
    QTest::newRow("already gone") << "status" << 404 << false;
}

void TestPassDeletions::failedServerDeletionIsRetried()
{
    QFETCH(QString, action);
    QFETCH(int, status);
    QFETCH(bool, retried);
    Device *d = fixture.synced({{"belge.txt", "sil"}});
    QVERIFY(QFile::remove(d->path("belge.txt")));
    QVERIFY(fixture.server->addFault("DELETE", "/api/v1/nodes/", action, status));
    d->pass();
    QCOMPARE(d->counters().errors, status == 401 ? -1 : 1);
    QVERIFY(d->counters().downloaded <= 0);
    QCOMPARE(d->savedState().contains("belge.txt"), retried);
    QVERIFY(!node("belge.txt").value("trashed").toBool());

    // A passing fault leaves the user's deletion standing: the next pass
    // deletes on the server instead of uploading or downloading the file.
    d->pass();
    QCOMPARE(d->counters().trashed, retried ? 1 : 0);
    QCOMPARE(d->counters().uploaded, 0);
    QCOMPARE(node("belge.txt").value("trashed").toBool(), retried);
    QCOMPARE(d->exists("belge.txt"), !retried);
}

void TestPassDeletions::localDeletionSparesVersionNotSeenHere_data()
{
    QTest::addColumn<bool>("otherNode");
    QTest::newRow("newer version") << false;
    QTest::newRow("another node at the path") << true;
}

void TestPassDeletions::localDeletionSparesVersionNotSeenHere()
{
    // Deleted here while the application was closed; meanwhile another
    // device saved something this device never saw.
    QFETCH(bool, otherNode);
    Device *d = fixture.synced({{"a.txt", "ilk"}});
    QVERIFY(QFile::remove(d->path("a.txt")));
    if (otherNode)
        QVERIFY(fixture.server->mobileDelete(fixture.email(), "a.txt"));
    QVERIFY(fixture.server->putFile(fixture.email(), "a.txt", "başka cihazdan"));
    d->pass();

    QCOMPARE(d->counters().trashed, 0);
    QCOMPARE(d->counters().downloaded, 1);
    QCOMPARE(d->counters().errors, 0);
    QVERIFY(d->logged("Yerelde silinen dosyanın kumatta daha yeni bir sürümü var, sunucuda silinmedi: a.txt"));
    QVERIFY(!node("a.txt").value("trashed").toBool());
    QCOMPARE(d->read("a.txt"), QByteArray("başka cihazdan"));
    QCOMPARE(d->savedState().value("a.txt").toObject().value("remote_version").toInteger(),
             node("a.txt").value("version").toInteger());
}

void TestPassDeletions::fileOnDiskButNotScannedIsNotDeleted()
{
    // The scan leaves hidden files out; one that the server sends is still
    // on disk and must neither be deleted on the server nor overwritten.
    Device *d = fixture.synced({{".gizli", "sunucu"}});
    QCOMPARE(d->read(".gizli"), QByteArray("sunucu"));
    QVERIFY(d->write(".gizli", "yerelde değişti"));
    d->pass();

    QVERIFY(!node(".gizli").value("trashed").toBool());
    QCOMPARE(d->counters().trashed, 0);
    QCOMPARE(d->read(".gizli"), QByteArray("yerelde değişti"));
}

void TestPassDeletions::unseenIsLeftAlone_data()
{
    QTest::addColumn<QString>("unreadable");
    QTest::addColumn<QString>("warning");
    QTest::newRow("folder that cannot be listed")
        << "alt" << "Klasör okunamadı; içindekiler silinmiş sayılmadı, okunabilene kadar dokunulmayacak: alt";
    QTest::newRow("file that cannot be read")
        << "alt/a.txt" << "Dosya okunamadı (başka bir programda açık olabilir); sonraki denetimde yeniden denenecek: alt/a.txt";
}

void TestPassDeletions::unseenIsLeftAlone()
{
    // What the scan cannot see is neither deleted nor edited by the user:
    // while another device saves a newer version, nothing goes to the
    // server trash, nothing is uploaded or kept as a conflict, and the user
    // is told once.
    QFETCH(QString, unreadable);
    QFETCH(QString, warning);
    Device *d = fixture.synced({{"alt/a.txt", "ilk"}, {"alt/b.txt", "ikinci"}, {"kök.txt", "kök"}});
    QVERIFY(fixture.server->putFile(fixture.email(), "alt/a.txt", "başka cihazdan"));
    const qint64 version = node("alt/a.txt").value("version").toInteger();
    if (!TestPlatform::makeUnreadable(d->path(unreadable)))
        QSKIP("this platform gives this user no unreadable entry of that kind");
    {
        const auto readable = qScopeGuard([&] { TestPlatform::makeReadableAgain(d->path(unreadable)); });
        d->pass();
        QCOMPARE(d->countLogged(warning), 1);
        QVERIFY(d->noticed("Senkronizasyon uyarısı"));
        d->pass();
        QCOMPARE(d->countLogged(warning), 0);
        QCOMPARE(d->counters().trashed, 0);
        QCOMPARE(d->counters().uploaded, 0);
        QCOMPARE(d->counters().errors, 0);
    }
    QVERIFY(!node("alt/a.txt").value("trashed").toBool());
    QVERIFY(!node("alt/b.txt").value("trashed").toBool());
    QCOMPARE(node("alt/a.txt").value("version").toInteger(), version);
    QVERIFY(d->filesUnder(".kumat-conflicts").isEmpty());
    QVERIFY(d->savedState().contains("alt/a.txt"));
    QVERIFY(d->savedState().contains("alt/b.txt"));

    // readable again: the newer version comes down over the untouched copy
    d->pass();
    QCOMPARE(d->counters().downloaded, 1);
    QCOMPARE(d->counters().trashed, 0);
    QCOMPARE(d->read("alt/a.txt"), QByteArray("başka cihazdan"));
    QCOMPARE(d->read("alt/b.txt"), QByteArray("ikinci"));
    QVERIFY(d->filesUnder(".kumat-conflicts").isEmpty());
}

void TestPassDeletions::letterCaseRenameReachesServer()
{
    // Where names ignore case the old spelling still "exists" to QFileInfo;
    // the rename must still reach the server, and later edits with it.
    Device *d = fixture.synced({{"Rapor.docx", "ilk"}});
    QVERIFY(TestPlatform::renameLetterCase(d->path("Rapor.docx"), d->path("rapor.docx")));
    QCOMPARE(QDir(d->folder).entryList(QDir::Files), QStringList{"rapor.docx"});
    d->pass();
    QVERIFY(node("Rapor.docx").isEmpty() || node("Rapor.docx").value("trashed").toBool());
    QVERIFY(!node("rapor.docx").value("trashed").toBool());
    QCOMPARE(d->counters().errors, 0);

    QVERIFY(d->write("rapor.docx", "düzenlendi"));
    d->pass();
    QCOMPARE(d->counters().errors, 0);
    QCOMPARE(fixture.server->content(fixture.email(), qint64(node("rapor.docx").value("id").toDouble())),
             QByteArray("düzenlendi"));
    QCOMPARE(d->savedState().keys(), QStringList({"rapor.docx"}));
}

void TestPassDeletions::mobileDeletionMovesLocalCopyToTrash()
{
    Device *d = fixture.synced({{"mobil/silinen.txt", "çöpe"}});
    QVERIFY(fixture.server->mobileDelete(fixture.email(), "mobil/silinen.txt"));
    const QString cwdFiles = QDir::current().filePath("files");
    d->pass();

    QVERIFY(!d->exists("mobil/silinen.txt"));
    QVERIFY(QFileInfo(d->path("mobil")).isDir());
    QCOMPARE(d->counters().localDeleted, 1);
    QVERIFY(d->logged("Sunucu tarafından çöpe atıldı, yerel kaldırıldı: mobil/silinen.txt"));
    QVERIFY(d->noticed("Dosya çöp kutusuna taşındı"));
    QVERIFY(!d->savedState().contains("mobil/silinen.txt"));
    // in the platform trash of this user, not beside the process
    QCOMPARE(trashed(), QStringList({"silinen.txt"}));
    QFile kept(QDir(fixture.trashFilesDir()).filePath("silinen.txt"));
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), QByteArray("çöpe"));
    QVERIFY(!QFileInfo::exists(cwdFiles + "/silinen.txt"));
}

void TestPassDeletions::mobileDeletionKeepsEditedCopy()
{
    Device *d = fixture.synced({{"not.txt", "eski"}});
    QVERIFY(d->write("not.txt", "yeni düzenleme"));
    QVERIFY(fixture.server->mobileDelete(fixture.email(), "not.txt"));
    d->pass();

    QCOMPARE(d->read("not.txt"), QByteArray("yeni düzenleme"));
    QCOMPARE(d->counters().localDeleted, 0);
    QCOMPARE(d->counters().uploaded, 1);
    QVERIFY(d->logged("Yeni dosya yüklendi: not.txt"));
    const QJsonObject live = node("not.txt");
    QVERIFY(!live.value("trashed").toBool());
    QCOMPARE(fixture.server->content(fixture.email(), qint64(live.value("id").toDouble())),
             QByteArray("yeni düzenleme"));
    QCOMPARE(d->savedState().value("not.txt").toObject().value("remote_id").toInteger(),
             live.value("id").toInteger());
    QVERIFY(trashed().isEmpty());
}

void TestPassDeletions::refusedTrashCountsAsFailedRemoval()
{
    Device *d = fixture.synced({{"a.txt", "kalmalı"}});
    QVERIFY(fixture.server->mobileDelete(fixture.email(), "a.txt"));
    // a data folder that can never exist: the trash refuses
    const QString blocker = fixture.home.filePath("engel");
    QFile block(blocker);
    QVERIFY(block.open(QIODevice::WriteOnly));
    block.close();
    // nothing may land beside the process either (a fault of Qt 6.4)
    const bool infoBefore = QFileInfo::exists(QDir::current().filePath("info"));
    const QByteArray previous = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QFile::encodeName(blocker + "/data"));
    d->pass();
    qputenv("XDG_DATA_HOME", previous);

    QCOMPARE(d->read("a.txt"), QByteArray("kalmalı"));
    QVERIFY(d->logged("Yerel dosya silinemedi: a.txt"));
    const Notice *refused = nullptr;
    for (const Notice &n : d->notices)
        refused = n.title == "Silme hatası" ? &n : refused;
    QVERIFY(refused);
    // the user is told where the file stayed
    QVERIFY2(refused->message.endsWith(QDir::toNativeSeparators(d->path("a.txt"))), qPrintable(refused->message));
    QCOMPARE(d->counters().errors, 1);
    QCOMPARE(d->counters().localDeleted, 0);
    QVERIFY(d->savedState().contains("a.txt"));
    QVERIFY(!QFileInfo::exists(QDir::current().filePath("files/a.txt")));
    QCOMPARE(QFileInfo::exists(QDir::current().filePath("info")), infoBefore);

    // the deletion made elsewhere is not undone by an upload, and the refusal
    // is not reported again
    d->pass();
    QCOMPARE(d->counters().uploaded, 0);
    QCOMPARE(d->counters().errors, 0);
    QVERIFY(!d->noticed("Silme hatası"));
    QVERIFY(node("a.txt").isEmpty() || node("a.txt").value("trashed").toBool());
    QCOMPARE(d->read("a.txt"), QByteArray("kalmalı"));

    // an edit exists nowhere else: it goes up as a new file
    QVERIFY(d->write("a.txt", "yeni iş"));
    d->pass();
    QCOMPARE(d->counters().uploaded, 1);
    QVERIFY(!node("a.txt").value("trashed").toBool());
}

void TestPassDeletions::recordGoneOnBothSidesIsForgotten()
{
    Device *d = fixture.synced({{"iz.txt", "eski"}});
    QVERIFY(fixture.server->mobileDelete(fixture.email(), "iz.txt"));
    QVERIFY(QFile::remove(d->path("iz.txt")));
    d->pass();
    QVERIFY(!d->savedState().contains("iz.txt"));

    // a new file at that path later is the user's new work, not a deletion
    QVERIFY(d->write("iz.txt", "yeni iş"));
    d->pass();
    QCOMPARE(d->read("iz.txt"), QByteArray("yeni iş"));
    QCOMPARE(d->counters().uploaded, 1);
    QCOMPARE(d->counters().localDeleted, 0);
}

void TestPassDeletions::serverMoveIsFollowed_data()
{
    QTest::addColumn<QString>("from");   // what the server moves
    QTest::addColumn<QString>("to");
    QTest::addColumn<QStringList>("files"); // the synchronised files, before and after
    QTest::addColumn<QStringList>("moved");
    QTest::addColumn<bool>("editedHere");
    QTest::addColumn<QString>("madeHere"); // a file made here meanwhile, and where it lands
    QTest::addColumn<QString>("landsAt");
    QTest::newRow("a file renamed") << "Docs/a.txt" << "Docs/b.txt" << QStringList{"Docs/a.txt", "Docs/c.txt"}
                                    << QStringList{"Docs/b.txt", "Docs/c.txt"} << false << QString() << QString();
    QTest::newRow("a file moved into new folders")
        << "Docs/a.txt" << "Arşiv/2026/a.txt" << QStringList{"Docs/a.txt", "Docs/c.txt"}
        << QStringList{"Arşiv/2026/a.txt", "Docs/c.txt"} << false << "Docs/yeni.txt" << "Docs/yeni.txt";
    QTest::newRow("a file renamed there, edited here")
        << "Docs/a.txt" << "Docs/b.txt" << QStringList{"Docs/a.txt", "Docs/c.txt"}
        << QStringList{"Docs/b.txt", "Docs/c.txt"} << true << QString() << QString();
    QTest::newRow("a folder renamed") << "Docs" << "Belgeler" << QStringList{"Docs/a.txt", "Docs/c.txt"}
                                      << QStringList{"Belgeler/a.txt", "Belgeler/c.txt"} << false << QString()
                                      << QString();
    QTest::newRow("a folder renamed, edited and added to here")
        << "Docs" << "Belgeler" << QStringList{"Docs/a.txt", "Docs/alt/c.txt"}
        << QStringList{"Belgeler/a.txt", "Belgeler/alt/c.txt"} << true << "Docs/alt/yeni.txt"
        << "Belgeler/alt/yeni.txt";
    QTest::newRow("a folder moved into another, added to here")
        << "Docs/alt" << "Arşiv/alt" << QStringList{"Docs/a.txt", "Docs/alt/c.txt"}
        << QStringList{"Docs/a.txt", "Arşiv/alt/c.txt"} << false << "Docs/alt/yeni.txt" << "Arşiv/alt/yeni.txt";
    QTest::newRow("a folder renamed in letter case") << "Docs" << "docs" << QStringList{"Docs/a.txt", "Docs/c.txt"}
                                                     << QStringList{"docs/a.txt", "docs/c.txt"} << false
                                                     << "Docs/yeni.txt" << "docs/yeni.txt";
}

void TestPassDeletions::serverMoveIsFollowed()
{
    // The server keeps a node's id when it is renamed or moved: the copy here
    // moves with it, its record follows, nothing goes to any trash and
    // nothing is downloaded again; an edit made here goes up as an edit.
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(QStringList, files);
    QFETCH(QStringList, moved);
    QFETCH(bool, editedHere);
    QFETCH(QString, madeHere);
    QFETCH(QString, landsAt);
    QMap<QString, QByteArray> contents;
    for (const QString &file : files)
        contents.insert(file, file.toUtf8());
    Device *d = fixture.synced(contents);
    const qint64 id = node(files.first()).value("id").toInteger();
    QVERIFY(fixture.server->move(fixture.email(), from, to));
    if (editedHere)
        QVERIFY(d->write(files.first(), "burada düzenlendi"));
    if (!madeHere.isEmpty())
        QVERIFY(d->write(madeHere, "burada yazıldı"));
    d->pass();

    QCOMPARE(d->counters().trashed, 0);
    QCOMPARE(d->counters().localDeleted, 0);
    QCOMPARE(d->counters().downloaded, 0);
    QCOMPARE(d->counters().uploaded, (editedHere ? 1 : 0) + (madeHere.isEmpty() ? 0 : 1));
    QCOMPARE(d->counters().errors, 0);
    QVERIFY(trashed().isEmpty());
    QVERIFY(d->filesUnder(".kumat-conflicts").isEmpty());
    for (int i = 0; i < files.size(); ++i) {
        QVERIFY2(d->exists(moved.at(i)), qPrintable(moved.at(i)));
        QCOMPARE(d->read(moved.at(i)), i == 0 && editedHere ? QByteArray("burada düzenlendi") : files.at(i).toUtf8());
    }
    // listed by the folder under the new names, and recorded under them; what
    // was made here in a moved folder went with it, and up to where it is now
    QStringList expected = moved;
    if (!landsAt.isEmpty()) {
        expected.append(landsAt);
        QCOMPARE(d->read(landsAt), QByteArray("burada yazıldı"));
        QCOMPARE(fixture.server->content(fixture.email(), node(landsAt).value("id").toInteger()),
                 QByteArray("burada yazıldı"));
    }
    expected.sort();
    QStringList here = d->filesUnder(QString());
    here.removeAll(".kumat-sync.json");
    here.sort();
    QCOMPARE(here, expected);
    QStringList recorded = d->savedState().keys();
    recorded.sort();
    QCOMPARE(recorded, expected);
    // the server does not get the old folder back
    if (!from.endsWith(".txt") && from.compare(to, Qt::CaseInsensitive) != 0)
        QVERIFY(node(from).isEmpty());
    QCOMPARE(node(moved.first()).value("id").toInteger(), id);
    QCOMPARE(fixture.server->content(fixture.email(), id), editedHere ? QByteArray("burada düzenlendi")
                                                                       : files.first().toUtf8());
    d->pass();
    QCOMPARE(d->counters().uploaded + d->counters().downloaded + d->counters().trashed + d->counters().errors, 0);
}

QTEST_GUILESS_MAIN(TestPassDeletions)
#include "tst_passdeletions.moc"
