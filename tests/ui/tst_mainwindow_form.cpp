#include "uitest.h"

#include "vendor.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QProcess>
#include <QStyleFactory>
#include <QStyleOptionButton>
#include <QTextDocument>
#include <QVBoxLayout>

#include <cmath>

using namespace UiTest;

class TestMainWindowForm : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { clearStore(); }
    void layoutAndTexts();
    void formRows();
    void spinRanges_data();
    void spinRanges();
    void noTrayWithoutDesktopTray();
    void titleCarriesSpeedsFromFirstTick();
    void updateCheckInvocableByName();
    void textsFitAtScale_data();
    void textsFitAtScale();
};

void TestMainWindowForm::layoutAndTexts()
{
    MainWindow w;
    MainWindowTestAccess a{w};
    QCOMPARE(w.windowTitle(), QStringLiteral("Zelnor Kumat Senkronizasyon"));
    QCOMPARE(w.size(), QSize(760, 590));

    auto *layout = qobject_cast<QVBoxLayout *>(w.centralWidget()->layout());
    QVERIFY(layout);
    QCOMPARE(layout->contentsMargins(), QMargins(24, 24, 24, 24));
    QCOMPARE(layout->spacing(), 16);
    QCOMPARE(layout->count(), 4);
    auto *header = qobject_cast<QLabel *>(layout->itemAt(0)->widget());
    QVERIFY(header);
    QCOMPARE(header->text(), QStringLiteral("<h1>Zelnor Kumat Senkronizasyon</h1><p>Windows için güvenli çift yönlü "
                                            "dosya senkronizasyonu</p>"));
    QVERIFY(qobject_cast<QFormLayout *>(layout->itemAt(1)->layout()));
    // the log takes the remaining height
    QCOMPARE(layout->itemAt(3)->widget(), a.child<QTextEdit>("logView"));
    QCOMPARE(layout->stretch(3), 1);
    QCOMPARE(layout->stretch(0) + layout->stretch(1) + layout->stretch(2), 0);

    // button row: connect, stop, stretch, status, update
    auto *row = qobject_cast<QHBoxLayout *>(layout->itemAt(2)->layout());
    QVERIFY(row);
    QCOMPARE(row->count(), 5);
    QCOMPARE(row->itemAt(0)->widget(), a.button("connectButton"));
    QCOMPARE(row->itemAt(1)->widget(), a.button("stopButton"));
    QVERIFY(row->itemAt(2)->spacerItem());
    QCOMPARE(row->itemAt(3)->widget(), a.statusLabel());
    QCOMPARE(row->itemAt(4)->widget(), a.button("updateButton"));

    QCOMPARE(a.button("connectButton")->text(), QStringLiteral("Bağlan ve başlat"));
    QVERIFY(a.button("connectButton")->isEnabled());
    QCOMPARE(a.button("stopButton")->text(), QStringLiteral("Durdur"));
    QVERIFY(!a.button("stopButton")->isEnabled());
    QCOMPARE(a.statusLabel()->text(), QStringLiteral("Hazır"));
    QCOMPARE(a.button("updateButton")->text(), QStringLiteral("Güncelleme Kontrol Et"));
    QCOMPARE(a.button("updateButton")->toolTip(), QStringLiteral("Yeni sürüm kontrolü başlat"));
    QCOMPARE(a.button("browseButton")->text(), QStringLiteral("Seç"));

    QTextEdit *log = a.child<QTextEdit>("logView");
    QVERIFY(log->isReadOnly());
    QVERIFY(log->acceptRichText());
    QCOMPARE(log->placeholderText(), QStringLiteral("Senkronizasyon kayıtları burada görüntülenir."));
}

void TestMainWindowForm::formRows()
{
    MainWindow w;
    MainWindowTestAccess a{w};
    auto *form = qobject_cast<QFormLayout *>(w.centralWidget()->layout()->itemAt(1)->layout());
    QVERIFY(form);
    QCOMPARE(form->rowCount(), 9);

    const auto labelOf = [form](int row) {
        QLayoutItem *item = form->itemAt(row, QFormLayout::LabelRole);
        auto *label = item ? qobject_cast<QLabel *>(item->widget()) : nullptr;
        return label ? label->text() : QString();
    };
    const auto fieldOf = [form](int row) { return form->itemAt(row, QFormLayout::FieldRole)->widget(); };

    const QStringList labels{"Sunucu adresi", "E-posta", "Parola", "Yerel klasör", "Kontrol aralığı", QString(),
                             "İndirme hızı", "Yükleme hızı", QString()};
    for (int row = 0; row < labels.size(); ++row)
        QCOMPARE(labelOf(row), labels.at(row));
    QCOMPARE(fieldOf(0), a.edit("serverEdit"));
    QCOMPARE(fieldOf(1), a.edit("emailEdit"));
    QCOMPARE(fieldOf(2), a.edit("passwordEdit"));
    QCOMPARE(fieldOf(3), a.edit("folderEdit")->parentWidget());
    QCOMPARE(a.button("browseButton")->parentWidget(), a.edit("folderEdit")->parentWidget());
    QCOMPARE(fieldOf(3)->layout()->contentsMargins(), QMargins(0, 0, 0, 0));
    QCOMPARE(fieldOf(4), a.spin("intervalSpin"));
    QCOMPARE(fieldOf(5), a.check("autoStartCheck"));
    QCOMPARE(fieldOf(6), a.spin("downloadLimitSpin"));
    QCOMPARE(fieldOf(7), a.spin("uploadLimitSpin"));
    QCOMPARE(fieldOf(8), a.check("rememberPasswordCheck"));

    QCOMPARE(a.edit("serverEdit")->placeholderText(), QString::fromLatin1(Vendor::serverUrl));
    QVERIFY(a.edit("emailEdit")->placeholderText().contains(u'@'));
    QCOMPARE(a.edit("passwordEdit")->echoMode(), QLineEdit::Password);
    QVERIFY(a.edit("passwordEdit")->placeholderText().isEmpty());
    QVERIFY(a.edit("folderEdit")->placeholderText().isEmpty());
    QCOMPARE(a.check("autoStartCheck")->text(), QStringLiteral("Sistem başlangıcında otomatik başlat"));
    QCOMPARE(a.check("rememberPasswordCheck")->text(), QStringLiteral("Parolayı bu bilgisayarda hatırla"));
    QCOMPARE(a.spin("intervalSpin")->suffix(), QStringLiteral(" dk"));
    QCOMPARE(a.spin("downloadLimitSpin")->suffix(), QStringLiteral(" KiB/sn (0 = sınırsız)"));
    QCOMPARE(a.spin("uploadLimitSpin")->suffix(), QStringLiteral(" KiB/sn (0 = sınırsız)"));
}

void TestMainWindowForm::spinRanges_data()
{
    QTest::addColumn<QString>("spin");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("shown");

    QTest::newRow("interval below") << "intervalSpin" << 0 << 1;
    QTest::newRow("interval two weeks") << "intervalSpin" << 20160 << 20160;
    QTest::newRow("interval above") << "intervalSpin" << 20161 << 20160;
    QTest::newRow("download unlimited") << "downloadLimitSpin" << 0 << 0;
    QTest::newRow("download negative") << "downloadLimitSpin" << -1 << 0;
    QTest::newRow("download 100 MiB/s") << "downloadLimitSpin" << 102400 << 102400;
    QTest::newRow("download above") << "downloadLimitSpin" << 102401 << 102400;
    QTest::newRow("upload negative") << "uploadLimitSpin" << -5 << 0;
    QTest::newRow("upload above") << "uploadLimitSpin" << 500000 << 102400;
}

void TestMainWindowForm::spinRanges()
{
    QFETCH(QString, spin);
    QFETCH(int, value);
    QFETCH(int, shown);
    MainWindow w;
    QSpinBox *box = w.findChild<QSpinBox *>(spin);
    QVERIFY(box);
    box->setValue(value);
    QCOMPARE(box->value(), shown);
}

void TestMainWindowForm::noTrayWithoutDesktopTray()
{
    if (QSystemTrayIcon::isSystemTrayAvailable())
        QSKIP("this platform has a tray here (Windows always has one); the tray's part is tested apart");
    QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
    MainWindow w;
    MainWindowTestAccess a{w};
    QVERIFY(!a.trayIcon());
    QVERIFY(!a.pauseAction());
    QVERIFY(!a.trayUpdateAction());
    QVERIFY(w.findChildren<QSystemTrayIcon *>().isEmpty());
    QVERIFY(w.findChildren<QMenu *>().isEmpty());
}

void TestMainWindowForm::titleCarriesSpeedsFromFirstTick()
{
    MainWindow w;
    MainWindowTestAccess a{w};
    QCOMPARE(a.speedTimer()->interval(), 1000);
    QVERIFY(a.speedTimer()->isActive());
    QCOMPARE(a.updateTimer()->interval(), 86400000);
    QVERIFY(a.updateTimer()->isActive());
    // the real timer, not a simulated tick: idle speeds replace the plain title
    QTRY_COMPARE_WITH_TIMEOUT(w.windowTitle(),
                              QStringLiteral("Zelnor Kumat Senkronizasyon — Yükleme: 0.00 MiB/sn | İndirme: 0.00 MiB/sn"),
                              5000);
}

void TestMainWindowForm::updateCheckInvocableByName()
{
    MainWindow w;
    MainWindowTestAccess a{w};
    QVERIFY(a.button("updateButton")->isEnabled());
    QVERIFY(QMetaObject::invokeMethod(&w, "checkForUpdatesClicked", Qt::QueuedConnection));
    QTRY_VERIFY(!a.button("updateButton")->isEnabled());
}

void TestMainWindowForm::textsFitAtScale_data()
{
    QTest::addColumn<qreal>("factor");

    // a virtual display without a DPI setting, then the usual desktop settings
    QTest::newRow("0.75") << 0.75;
    QTest::newRow("1") << 1.0;
    QTest::newRow("1.25") << 1.25;
    QTest::newRow("1.5") << 1.5;
    QTest::newRow("2") << 2.0;
}

namespace {

int advance(const QWidget *widget, const QString &text)
{
    return widget->fontMetrics().horizontalAdvance(text);
}

// Every text of the window that does not get the room the style means it to
// have, with what it needs and what it got.
QStringList cutTexts(const QWidget &window)
{
    QStringList cut;
    const auto check = [&cut](const QWidget *widget, const QString &text, int needed, int room) {
        const QString name = widget->objectName().isEmpty() ? QLatin1String(widget->metaObject()->className())
                                                            : widget->objectName();
        if (needed > room)
            cut << QStringLiteral("%1 \"%2\": needs %3, has %4").arg(name, text).arg(needed).arg(room);
    };
    for (const QWidget *widget : window.findChildren<QWidget *>()) {
        if (!widget->isVisibleTo(&window))
            continue;
        const QStyle *style = widget->style();
        if (const auto *button = qobject_cast<const QPushButton *>(widget)) {
            // the style's button margin between the frame and the text, on both sides
            QStyleOptionButton option;
            option.initFrom(button);
            option.text = button->text();
            int sides = style->pixelMetric(QStyle::PM_ButtonMargin, &option, button)
                + style->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, button);
            if (button->autoDefault() || button->isDefault())
                sides += style->pixelMetric(QStyle::PM_ButtonDefaultIndicator, &option, button);
            check(button, button->text(), advance(button, button->text()) + 2 * sides, button->width());
        } else if (const auto *box = qobject_cast<const QCheckBox *>(widget)) {
            QStyleOptionButton option;
            option.initFrom(box);
            option.text = box->text();
            const QRect textRect = style->subElementRect(QStyle::SE_CheckBoxContents, &option, box);
            check(box, box->text(), advance(box, box->text()), textRect.width());
        } else if (const auto *label = qobject_cast<const QLabel *>(widget)) {
            if (label->text().isEmpty() || label->wordWrap())
                continue;
            const int room = label->contentsRect().width() - 2 * label->margin();
            if (label->textFormat() == Qt::RichText
                || (label->textFormat() == Qt::AutoText && Qt::mightBeRichText(label->text()))) {
                QTextDocument document;
                document.setDefaultFont(label->font());
                document.setDocumentMargin(0);
                document.setHtml(label->text());
                check(label, document.toPlainText(), int(std::ceil(document.idealWidth())), room);
            } else {
                check(label, label->text(), advance(label, label->text()), room);
            }
        }
    }
    return cut;
}

} // namespace

void TestMainWindowForm::textsFitAtScale()
{
    QFETCH(qreal, factor);

    // Qt takes the scale factor once, when the application starts, so each
    // factor is looked at by a run of this program of its own. Its log goes to
    // a file: under Wine a test program's own output reaches no pipe.
    if (!qEnvironmentVariableIsSet("KUMAT_SCALE_RUN")) {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString logPath = dir.filePath(QStringLiteral("scale.txt"));
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QT_SCALE_FACTOR"), QString::number(factor));
        environment.insert(QStringLiteral("KUMAT_SCALE_RUN"), QStringLiteral("1"));
        QProcess run;
        run.setProcessEnvironment(environment);
        run.setStandardOutputFile(QProcess::nullDevice());
        run.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        run.start(QCoreApplication::applicationFilePath(),
                  {QStringLiteral("textsFitAtScale:") + QLatin1String(QTest::currentDataTag()), QStringLiteral("-o"),
                   logPath + QStringLiteral(",txt")});
        QVERIFY2(run.waitForFinished(120000), qPrintable(run.errorString()));
        QFile log(logPath);
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QByteArray text = log.readAll();
        QVERIFY2(run.exitStatus() == QProcess::NormalExit && run.exitCode() == 0, text.constData());
        // a run that found no row would pass without looking at anything
        QVERIFY2(text.contains("PASS   : TestMainWindowForm::textsFitAtScale(" + QByteArray(QTest::currentDataTag()) + ')'),
                 text.constData());
        return;
    }

    // the application's own style
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    MainWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(w.devicePixelRatioF(), factor);
    const QStringList cut = cutTexts(w);
    QVERIFY2(cut.isEmpty(), qPrintable(cut.join(QStringLiteral("; "))));
}

KUMAT_UI_TEST_MAIN(TestMainWindowForm)
#include "tst_mainwindow_form.moc"
