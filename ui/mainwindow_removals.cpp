#include "mainwindow.h"

#include "syncengine.h"

#include <QMessageBox>
#include <QPushButton>
#include <QSystemTrayIcon>

namespace {

QString removalTitle()
{
    return QStringLiteral("Toplu silme onay bekliyor");
}

} // namespace

void MainWindow::askAboutRemovals(int side, int count, const QStringList &firstPaths)
{
    if (side != SyncEngine::LocalRemoval && side != SyncEngine::ServerDeletion)
        return;
    const bool local = side == SyncEngine::LocalRemoval;
    QString text = local ? QStringLiteral("Kumatta %1 dosya silinmiş görünüyor. Bu bilgisayardaki kopyaları "
                                          "kaldırılmadı; siz karar verene kadar olduğu gibi kalacaklar.")
                                .arg(count)
                         : QStringLiteral("Bu bilgisayarda %1 dosya silinmiş görünüyor. Kumattaki kopyaları "
                                          "silinmedi; siz karar verene kadar olduğu gibi kalacaklar.")
                                .arg(count);
    text += QStringLiteral("\n\nİlk dosyalar:\n") + firstPaths.join(QLatin1Char('\n'));
    if (count > firstPaths.size())
        text += QStringLiteral("\n… ve %1 dosya daha").arg(count - firstPaths.size());
    text += local ? QStringLiteral("\n\n\"Kaldır\": bu dosyalar bu bilgisayardan da çöp kutusuna taşınır.\n"
                                   "\"Koru\": bu dosyalar kumata yeniden yüklenir.")
                  : QStringLiteral("\n\n\"Kaldır\": bu dosyalar kumatta da çöp kutusuna taşınır.\n"
                                   "\"Koru\": bu dosyalar bu bilgisayara yeniden indirilir.");

    // One question per side; a newer one replaces an unanswered box.
    QPointer<QMessageBox> &box = removalBoxes[side];
    if (box)
        box->deleteLater();
    box = new QMessageBox(QMessageBox::Warning, removalTitle(), text, QMessageBox::NoButton, this);
    // file names are the user's text, never markup
    box->setTextFormat(Qt::PlainText);
    // The pass goes on while the question waits, and the window with it; the
    // box has no escape: closing it is no answer, and none is assumed.
    box->setWindowModality(Qt::NonModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton *remove = box->addButton(QStringLiteral("Kaldır"), QMessageBox::DestructiveRole);
    QPushButton *keep = box->addButton(QStringLiteral("Koru"), QMessageBox::AcceptRole);
    box->setDefaultButton(keep);
    remove->setObjectName(QStringLiteral("removeButton"));
    keep->setObjectName(QStringLiteral("keepButton"));
    connect(box, &QMessageBox::buttonClicked, this, [this, side, remove](QAbstractButton *button) {
        syncEngine->answerRemovals(side, button == remove);
    });

    if (trayIcon && trayIcon->isVisible()) {
        // the box waits behind the balloon; a click on it brings the box up
        pendingRemovalQuestion = true;
        trayIcon->showMessage(removalTitle(),
                              local ? QStringLiteral("Kumatta %1 dosya silinmiş görünüyor; karar vermek için tıklayın.")
                                          .arg(count)
                                    : QStringLiteral("Bu bilgisayarda %1 dosya silinmiş görünüyor; karar vermek için "
                                                     "tıklayın.")
                                          .arg(count),
                              QSystemTrayIcon::Warning, 15000);
        return;
    }
    box->show();
}

void MainWindow::showRemovalQuestions()
{
    pendingRemovalQuestion = false;
    for (const QPointer<QMessageBox> &box : std::as_const(removalBoxes)) {
        if (!box)
            continue;
        box->show();
        box->raise();
        box->activateWindow();
    }
}
