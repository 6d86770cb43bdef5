#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariant>

// A change to the reference server's store that its own commands refuse to
// make, in one transaction: `sql` holds statements separated by ";" whose
// parameters ?1, ?2... take `values` (integers or text). Used only by the
// history driver, so the server's checks stay as they are. False when any
// statement failed, and then nothing changed.
bool rewriteStore(const QString &dataDir, const QByteArray &sql, const QList<QVariant> &values);

// The first column of the first row that one query of the store gives, as
// text; a null string when there is none or the query failed.
QString readStore(const QString &dataDir, const QByteArray &sql, const QList<QVariant> &values);
