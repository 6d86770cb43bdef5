#include "uitest.h"

#include "apiclient.h"
#include "referenceserver.h"
#include "syncengine.h"
#include "updatemanager.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QOperatingSystemVersion>
#include <QSignalSpy>

using namespace UiTest;

namespace {

// Answers the boxes that do not block, one after the other as each opens,
// recording what each showed; stops early when not exactly one is open.
QList<ShownBox> answerOpenBoxes(MainWindowTestAccess &a, const QList<QMessageBox::StandardButton> &answers)
{
    QList<ShownBox> shown;
    for (QMessageBox::StandardButton answer : answers) {
        QCoreApplication::processEvents();
        const QList<QMessageBox *> open = a.openNotices();
        if (open.size() != 1)
            break;
        QMessageBox *box = open.first();
        shown.append({box->icon(), box->windowTitle(), box->text(), box->standardButtons(), box->textFormat()});
        QAbstractButton *button = box->button(answer);
        if (!button)
            break; // not the box this answer was meant for
        button->click();
    }
    QCoreApplication::processEvents();
    return shown;
}

// Accepts an offer: without a tray its announcement box is acknowledged
// first; with one the tray announces it and the question opens at once.
bool acceptOffer(MainWindowTestAccess &a)
{
    const bool tray = a.trayIcon() && a.trayIcon()->isVisible();
    const QList<QMessageBox::StandardButton> answers =
        tray ? QList<QMessageBox::StandardButton>{QMessageBox::Yes}
             : QList<QMessageBox::StandardButton>{QMessageBox::Ok, QMessageBox::Yes};
    return answerOpenBoxes(a, answers).size() == answers.size();
}

} // namespace

// The window's side of self-update: the check button, the offer, the progress
// dialog and the hand-off to the installer.
class TestMainWindowUpdate : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void checkButtonAndOutcomes();
    void offerTexts_data();
    void offerTexts();
    void offerDuringPassHoldsNothing();
    void acceptedOfferShowsProgress();
    void failedDownloadClosesDialog();
    void installerThatCannotStart();
    void installerHandOff();
    void startedInstallerRemoval_data();
    void startedInstallerRemoval();

private:
    std::unique_ptr<QTemporaryDir> temp;
};

void TestMainWindowUpdate::init()
{
    clearStore();
    temp = std::make_unique<QTemporaryDir>();
    QVERIFY(temp->isValid());
}

void TestMainWindowUpdate::cleanup()
{
    temp->setAutoRemove(!QTest::currentTestFailed());
}

void TestMainWindowUpdate::checkButtonAndOutcomes()
{
    if (QSystemTrayIcon::isSystemTrayAvailable())
        QSKIP("this platform has a tray here (Windows always has one); the tray's part is tested apart");
    MainWindow w;
    MainWindowTestAccess a{w};
    QPushButton *button = a.button("updateButton");
    BoxAnswerer boxes;

    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(!button->isEnabled());
    // the manifest's version is the update host's text, shown as written
    Q_EMIT a.updateManager()->checkCompleted(QStringLiteral("<a href=\"https://x.example\">0.3.20</a>"));
    QVERIFY(button->isEnabled());
    QCOMPARE(a.statusLabel()->text(), QStringLiteral("Güncel (<a href=\"https://x.example\">0.3.20</a>)"));
    QCOMPARE(a.statusLabel()->textFormat(), Qt::PlainText);

    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(!button->isEnabled());
    Q_EMIT a.updateManager()->checkFailed(QStringLiteral("Sunucuya ulaşılamadı."));
    QVERIFY(button->isEnabled());
    // a daily check may fail while a pass waits for the server: the box must not hold it
    QCOMPARE(boxes.boxes.size(), 0);
    QCOMPARE(a.openNotices().size(), 1);
    QCOMPARE(a.openNotices().first()->icon(), QMessageBox::Warning);
    QCOMPARE(a.openNotices().first()->windowTitle(), QStringLiteral("Güncelleme denetimi başarısız"));
    QCOMPARE(a.openNotices().first()->text(), QStringLiteral("Sunucuya ulaşılamadı."));

    // the daily timer goes through the same slot
    Q_EMIT a.updateTimer()->timeout({});
    QVERIFY(!button->isEnabled());
}

void TestMainWindowUpdate::offerTexts_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("notes");
    QTest::addColumn<QString>("question");
    QTest::addColumn<QString>("earlier"); // an offer of an older release that came first
    QTest::addColumn<bool>("earlierAnswered"); // its announcement acknowledged before the newer one came

    const QString plain = QStringLiteral("Zelnor Kumat Senkronizasyon 0.4.0 sürümü hazır.\n\nŞimdi indirip kurmak "
                                         "ister misiniz?");
    QTest::newRow("no notes") << "0.4.0" << QString() << plain << QString() << false;
    QTest::newRow("notes") << "0.4.0" << QStringLiteral("Daha hızlı yükleme.")
                           << QStringLiteral("Zelnor Kumat Senkronizasyon 0.4.0 sürümü hazır.\n\nDaha hızlı yükleme.\n\n"
                                             "Şimdi indirip kurmak ister misiniz?")
                           << QString() << false;
    // the manifest's texts show as written: no link to click in a box that asks for trust
    QTest::newRow("markup") << "0.4.0<b>" << QStringLiteral("<a href=\"https://x.example\">Yükleyin</a>")
                            << QStringLiteral("Zelnor Kumat Senkronizasyon 0.4.0<b> sürümü hazır.\n\n"
                                              "<a href=\"https://x.example\">Yükleyin</a>\n\n"
                                              "Şimdi indirip kurmak ister misiniz?")
                            << QString() << false;
    // a second check while the offer is open: still one offer, of the newest release
    QTest::newRow("again while announced") << "0.4.0" << QString() << plain << "0.3.30" << false;
    QTest::newRow("again while asked") << "0.4.0" << QString() << plain << "0.3.30" << true;
}

void TestMainWindowUpdate::offerTexts()
{
    QFETCH(QString, version);
    QFETCH(QString, notes);
    QFETCH(QString, question);
    QFETCH(QString, earlier);
    QFETCH(bool, earlierAnswered);
    if (QSystemTrayIcon::isSystemTrayAvailable())
        QSKIP("the announcement is a box of its own only without a tray; the tray's part is tested apart");
    MainWindow w;
    MainWindowTestAccess a{w};
    BoxAnswerer modal;
    QList<ShownBox> boxes;
    if (!earlier.isEmpty()) {
        Q_EMIT a.updateManager()->updateAvailable(earlier, QStringLiteral("eski notlar"));
        if (earlierAnswered)
            boxes = answerOpenBoxes(a, {QMessageBox::Ok});
    }
    Q_EMIT a.updateManager()->updateAvailable(version, notes);
    // the offer returned at once: nothing waits for the answer
    QCOMPARE(a.openNotices().size(), 1);
    boxes += answerOpenBoxes(a, QList<QMessageBox::StandardButton>{QMessageBox::Ok, QMessageBox::No}.mid(boxes.size()));
    QCOMPARE(modal.boxes.size(), 0);

    QCOMPARE(boxes.size(), 2);
    // without a tray the announcement is a box of its own, acknowledged first
    const QString announced = earlierAnswered ? earlier : version;
    QCOMPARE(boxes.at(0).icon, QMessageBox::Information);
    QCOMPARE(boxes.at(0).title, QStringLiteral("Güncelleme var"));
    QCOMPARE(boxes.at(0).text, QStringLiteral("Zelnor Kumat Senkronizasyon %1 sürümü hazır.").arg(announced));
    QCOMPARE(boxes.at(0).buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(boxes.at(0).format, Qt::PlainText);
    QCOMPARE(boxes.at(1).format, Qt::PlainText);
    QCOMPARE(boxes.at(1).icon, QMessageBox::Question);
    QCOMPARE(boxes.at(1).title, QStringLiteral("Güncelleme var"));
    QCOMPARE(boxes.at(1).text, question);
    QCOMPARE(boxes.at(1).buttons, QMessageBox::Yes | QMessageBox::No);

    // declined: the offered version shows like a completed check, nothing downloads
    QCOMPARE(a.statusLabel()->text(), QStringLiteral("Güncel (%1)").arg(version));
    QVERIFY(!a.progressDialog());
    QVERIFY(a.openNotices().isEmpty());
}

void TestMainWindowUpdate::offerDuringPassHoldsNothing()
{
    ReferenceServer reference;
    if (ReferenceServer::serverBinary().isEmpty())
        QSKIP("the reference server is not built (KUMAT_SERVER_BIN unset)");
    QVERIFY2(reference.start(), qPrintable(reference.lastError()));
    const QString email = QStringLiteral("ayse@example.com");
    QVERIFY2(reference.addUser(email, "parola-123"), qPrintable(reference.lastError()));
    QByteArray content(120000, 'k');
    content[0] = 'b';
    QVERIFY2(reference.putFile(email, "buyuk.bin", content), qPrintable(reference.lastError()));
    // the download takes seconds, and the check finishes while the pass waits for it
    QVERIFY2(reference.addSlowFault("GET", "/api/v1/files/", 40000), qPrintable(reference.lastError()));

    const QString folder = temp->path() + "/Kumat";
    MainWindow w;
    MainWindowTestAccess a{w};
    a.edit("serverEdit")->setText(reference.baseUrl());
    a.edit("emailEdit")->setText(email);
    a.edit("passwordEdit")->setText("parola-123");
    a.edit("folderEdit")->setText(folder);
    int offered = 0;
    bool downloadedBeforeOffer = true;
    QMetaObject::Connection during;
    during = connect(a.apiClient(), &ApiClient::downloadProgress, &w, [&] {
        disconnect(during);
        ++offered;
        downloadedBeforeOffer = QFileInfo::exists(folder + "/buyuk.bin");
        Q_EMIT a.updateManager()->updateAvailable(QStringLiteral("0.4.0"), QString());
    });

    BoxAnswerer boxes;
    // the pass's summary goes to the status line, or to the tray where there is one
    QSignalSpy notified(a.syncEngine(), &SyncEngine::notification);
    QTest::mouseClick(a.button("connectButton"), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!notified.isEmpty(), 20000);
    QCOMPARE(notified.last().value(0).toString(), QStringLiteral("Senkronizasyon tamamlandı"));
    QCOMPARE(offered, 1);
    QVERIFY(!downloadedBeforeOffer);
    QFile file(folder + "/buyuk.bin");
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll() == content);
    // nobody answered: the announcement is still on screen, and nothing modal ever opened
    QCOMPARE(boxes.titles(), QStringList());
    QCOMPARE(a.openNotices().size(), 1);
    QCOMPARE(a.openNotices().first()->windowTitle(), QStringLiteral("Güncelleme var"));
    a.syncEngine()->stop();
}

void TestMainWindowUpdate::acceptedOfferShowsProgress()
{
    MainWindow w;
    MainWindowTestAccess a{w};
    BoxAnswerer boxes;
    QMetaObject::invokeMethod(&w, "offerUpdate", Q_ARG(QString, "0.4.0"), Q_ARG(QString, QString()));
    {
        // the manager has no checked manifest here; keep its answer to the download away
        QSignalBlocker quiet(a.updateManager());
        QVERIFY(acceptOffer(a));
    }
    QCOMPARE(boxes.boxes.size(), 0);

    QProgressDialog *dialog = a.progressDialog();
    QVERIFY(dialog);
    QCOMPARE(dialog->parent(), &w);
    QVERIFY(dialog->isVisible());
    QCOMPARE(dialog->labelText(), QStringLiteral("Güncelleme indiriliyor..."));
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Zelnor Kumat Senkronizasyon"));
    QCOMPARE(dialog->minimum(), 0);
    QCOMPARE(dialog->maximum(), 0);
    QVERIFY(!dialog->autoClose());
    QVERIFY(dialog->findChildren<QPushButton *>().isEmpty());
    // a modal progress dialog runs the event loop on every step
    QVERIFY(!dialog->isModal());
    // a check that finishes during the download offers nothing more
    Q_EMIT a.updateManager()->updateAvailable(QStringLiteral("0.4.1"), QString());
    QCoreApplication::processEvents();
    QVERIFY(a.openNotices().isEmpty());
    QCOMPARE(a.progressDialog(), dialog);

    // an unknown total leaves the busy indicator
    Q_EMIT a.updateManager()->downloadProgress(4096, -1);
    QCOMPARE(dialog->maximum(), 0);
    QCOMPARE(dialog->labelText(), QStringLiteral("Güncelleme indiriliyor..."));
    Q_EMIT a.updateManager()->downloadProgress(50, 200);
    QCOMPARE(dialog->maximum(), 100);
    QCOMPARE(dialog->value(), 25);
    QCOMPARE(dialog->labelText(), QStringLiteral("Güncelleme indiriliyor... 25%"));
    Q_EMIT a.updateManager()->downloadProgress(199, 200);
    QCOMPARE(dialog->value(), 99);
}

void TestMainWindowUpdate::failedDownloadClosesDialog()
{
    MainWindow w;
    MainWindowTestAccess a{w};
    BoxAnswerer boxes;
    QMetaObject::invokeMethod(&w, "offerUpdate", Q_ARG(QString, "0.4.0"), Q_ARG(QString, QString()));
    {
        QSignalBlocker quiet(a.updateManager());
        QVERIFY(acceptOffer(a));
    }
    QPointer<QProgressDialog> dialog = a.progressDialog();
    QVERIFY(dialog);
    Q_EMIT a.updateManager()->downloadFailed(QStringLiteral("İndirilen dosyanın SHA-256 özeti uyuşmuyor."));
    QVERIFY(!a.progressDialog());
    QTRY_VERIFY(!dialog);
    QCOMPARE(boxes.boxes.size(), 0);
    QCOMPARE(a.openNotices().size(), 1);
    QCOMPARE(a.openNotices().first()->icon(), QMessageBox::Warning);
    QCOMPARE(a.openNotices().first()->windowTitle(), QStringLiteral("Güncelleme indirilemedi"));
    QCOMPARE(a.openNotices().first()->text(), QStringLiteral("İndirilen dosyanın SHA-256 özeti uyuşmuyor."));
    // without a dialog a progress report changes nothing
    Q_EMIT a.updateManager()->downloadProgress(50, 200);
    QVERIFY(!a.progressDialog());
}

void TestMainWindowUpdate::installerThatCannotStart()
{
    MainWindow w;
    MainWindowTestAccess a{w};
    BoxAnswerer boxes;
    Q_EMIT a.updateManager()->updateReady(temp->path() + QStringLiteral("/yok/kurulum.exe"));
    // the installer can fail to start while a pass waits: the box must not hold it
    QCOMPARE(boxes.boxes.size(), 0);
    QCOMPARE(a.openNotices().size(), 1);
    QCOMPARE(a.openNotices().first()->icon(), QMessageBox::Critical);
    QCOMPARE(a.openNotices().first()->windowTitle(), QStringLiteral("Güncelleme hatası"));
    QCOMPARE(a.openNotices().first()->text(), QStringLiteral("Güncelleme programı başlatılamadı."));
    // the window stays usable
    QVERIFY(a.button("connectButton")->isEnabled());
}

void TestMainWindowUpdate::installerHandOff()
{
    if (QOperatingSystemVersion::currentType() == QOperatingSystemVersion::Windows)
        QSKIP("the stand-in installer here is a shell script; the Windows hand-off runs with the real installer");
    const QString installer = temp->path() + QStringLiteral("/kurulum");
    const QString record = temp->path() + QStringLiteral("/arguments.txt");
    QFile script(installer);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\nprintf '%s\\n' \"$@\" > \"" + record.toUtf8() + ".part\"\nmv \"" + record.toUtf8()
                 + ".part\" \"" + record.toUtf8() + "\"\n");
    script.close();
    QVERIFY(script.setPermissions(script.permissions() | QFileDevice::ExeOwner));

    MainWindow w;
    MainWindowTestAccess a{w};
    BoxAnswerer boxes;
    QMetaObject::invokeMethod(&w, "offerUpdate", Q_ARG(QString, "0.4.0"), Q_ARG(QString, QString()));
    {
        QSignalBlocker quiet(a.updateManager());
        QVERIFY(acceptOffer(a));
    }
    QPointer<QProgressDialog> dialog = a.progressDialog();
    QVERIFY(dialog);

    // the hand-off quits the event loop it runs in
    QTimer::singleShot(0, a.updateManager(), [&] { Q_EMIT a.updateManager()->updateReady(installer); });
    QTimer::singleShot(20000, &w, [] { QCoreApplication::exit(3); });
    QCOMPARE(QCoreApplication::exec(), 0);

    QVERIFY(!a.progressDialog());
    QTRY_VERIFY(QFileInfo::exists(record));
    QFile args(record);
    QVERIFY(args.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(args.readAll()),
             QStringLiteral("--update\n--wait-pid\n%1\n--target\n%2\n")
                 .arg(QCoreApplication::applicationPid())
                 .arg(QDir::toNativeSeparators(QCoreApplication::applicationDirPath())));
    QCOMPARE(boxes.boxes.size(), 0);
    // the next start takes the installer away
    QCOMPARE(store()->value("startedInstaller").toString(), installer);
}

void TestMainWindowUpdate::startedInstallerRemoval_data()
{
    QTest::addColumn<QByteArray>("contentNow");
    QTest::addColumn<bool>("removed");
    QTest::newRow("the installer started") << QByteArray("kurulum 0.4.0") << true;
    // the name now holds something else: not the program's to remove
    QTest::newRow("another file since") << QByteArray("başka bir dosya") << false;
    QTest::newRow("gone already") << QByteArray() << false;
}

// A start after an update takes away the installer that the update step
// verified and started, and only that one.
void TestMainWindowUpdate::startedInstallerRemoval()
{
    QFETCH(QByteArray, contentNow);
    QFETCH(bool, removed);
    const QString installer = temp->path() + QStringLiteral("/guncelleme.exe");
    if (!contentNow.isEmpty()) {
        QFile file(installer);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(contentNow);
    }
    store()->setValue("startedInstaller", installer);
    store()->setValue("startedInstallerSha256",
                      QString::fromLatin1(QCryptographicHash::hash("kurulum 0.4.0", QCryptographicHash::Sha256).toHex()));

    MainWindow w;
    QTRY_VERIFY(!store()->contains("startedInstaller"));
    QVERIFY(!store()->contains("startedInstallerSha256"));
    QCOMPARE(QFileInfo::exists(installer), !removed && !contentNow.isEmpty());
}

KUMAT_UI_TEST_MAIN(TestMainWindowUpdate)
#include "tst_mainwindow_update.moc"
