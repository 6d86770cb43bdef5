#include "storerewrite.h"

#include <QFile>

#include <sqlite3.h>

namespace {

sqlite3 *openStore(const QString &dataDir, int flags)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(QFile::encodeName(dataDir + QStringLiteral("/kumat.db")).constData(), &db, flags, nullptr)
        != SQLITE_OK) {
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, 20000);
    return db;
}

sqlite3_stmt *prepare(sqlite3 *db, const QByteArray &statement, const QList<QVariant> &values)
{
    sqlite3_stmt *stmt = nullptr;
    if (sqlite3_prepare_v2(db, statement.constData(), int(statement.size()), &stmt, nullptr) != SQLITE_OK)
        return nullptr;
    if (sqlite3_bind_parameter_count(stmt) > values.size()) {
        sqlite3_finalize(stmt);
        return nullptr;
    }
    for (int i = 0; i < sqlite3_bind_parameter_count(stmt); ++i) {
        const QVariant &value = values.at(i);
        if (value.typeId() == QMetaType::QString) {
            const QByteArray text = value.toString().toUtf8();
            sqlite3_bind_text(stmt, i + 1, text.constData(), int(text.size()), SQLITE_TRANSIENT);
        } else {
            sqlite3_bind_int64(stmt, i + 1, value.toLongLong());
        }
    }
    return stmt;
}

} // namespace

bool rewriteStore(const QString &dataDir, const QByteArray &sql, const QList<QVariant> &values)
{
    sqlite3 *db = openStore(dataDir, SQLITE_OPEN_READWRITE);
    if (!db)
        return false;
    bool ok = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    for (const QByteArray &statement : sql.split(';')) {
        if (!ok || statement.trimmed().isEmpty())
            continue;
        sqlite3_stmt *stmt = prepare(db, statement, values);
        ok = stmt && sqlite3_step(stmt) == SQLITE_DONE;
        sqlite3_finalize(stmt);
    }
    ok = sqlite3_exec(db, ok ? "COMMIT" : "ROLLBACK", nullptr, nullptr, nullptr) == SQLITE_OK && ok;
    sqlite3_close(db);
    return ok;
}

QString readStore(const QString &dataDir, const QByteArray &sql, const QList<QVariant> &values)
{
    sqlite3 *db = openStore(dataDir, SQLITE_OPEN_READONLY);
    if (!db)
        return QString();
    QString value;
    sqlite3_stmt *stmt = prepare(db, sql, values);
    if (stmt && sqlite3_step(stmt) == SQLITE_ROW)
        value = QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)));
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return value;
}
