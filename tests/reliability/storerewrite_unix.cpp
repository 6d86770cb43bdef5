#include "storerewrite.h"

#include <QFile>

#include <sqlite3.h>

bool rewriteStore(const QString &dataDir, const QByteArray &sql, const QList<QVariant> &values)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open(QFile::encodeName(dataDir + QStringLiteral("/kumat.db")).constData(), &db) != SQLITE_OK) {
        sqlite3_close(db);
        return false;
    }
    sqlite3_busy_timeout(db, 20000);
    bool ok = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    for (const QByteArray &statement : sql.split(';')) {
        if (!ok || statement.trimmed().isEmpty())
            continue;
        sqlite3_stmt *stmt = nullptr;
        ok = sqlite3_prepare_v2(db, statement.constData(), int(statement.size()), &stmt, nullptr) == SQLITE_OK;
        for (int i = 0; ok && i < sqlite3_bind_parameter_count(stmt); ++i) {
            const QVariant &value = values.at(i);
            if (value.typeId() == QMetaType::QString) {
                const QByteArray text = value.toString().toUtf8();
                sqlite3_bind_text(stmt, i + 1, text.constData(), int(text.size()), SQLITE_TRANSIENT);
            } else {
                sqlite3_bind_int64(stmt, i + 1, value.toLongLong());
            }
        }
        ok = ok && sqlite3_step(stmt) == SQLITE_DONE;
        sqlite3_finalize(stmt);
    }
    ok = sqlite3_exec(db, ok ? "COMMIT" : "ROLLBACK", nullptr, nullptr, nullptr) == SQLITE_OK && ok;
    sqlite3_close(db);
    return ok;
}
