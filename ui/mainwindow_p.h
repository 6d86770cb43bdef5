#pragma once

// Constants shared by the window's source files.

#include "vendor.h"

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

} // namespace WindowDefaults
