#pragma once

// Constants shared by the window's source files.

#include "vendor.h"

#include <QMessageBox>
#include <QString>
#include <QUrl>

namespace WindowDefaults {

inline const QString appTitle = QStringLiteral("Zelnor Kumat Senkronizasyon");

inline QString defaultServer()
{
    return QString::fromLatin1(Vendor::serverUrl);
}

inline QUrl manifestUrl()
{
    return QUrl(QString::fromLatin1(Vendor::manifestUrl));
}

// A modal box that shows its text as written: server replies, refused paths
// and the update manifest are not ours, and a link in them must not become
// something to click.
inline QMessageBox::StandardButton showBox(QWidget *parent, QMessageBox::Icon icon, const QString &title,
                                           const QString &text,
                                           QMessageBox::StandardButtons buttons = QMessageBox::Ok)
{
    QMessageBox box(icon, title, text, buttons, parent);
    box.setTextFormat(Qt::PlainText);
    return QMessageBox::StandardButton(box.exec());
}

// The same box without the wait: it returns at once and closes itself when
// answered. Anything that can arrive while a pass waits for the server opens
// one of these, since a modal loop there would hold the pass until answered.
inline QMessageBox *openBox(QWidget *parent, QMessageBox::Icon icon, const QString &title, const QString &text,
                            QMessageBox::StandardButtons buttons = QMessageBox::Ok)
{
    auto *box = new QMessageBox(icon, title, text, buttons, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->setTextFormat(Qt::PlainText);
    box->show();
    box->raise();
    return box;
}

} // namespace WindowDefaults
