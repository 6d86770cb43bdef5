#include "storerewrite.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>

// The Windows build has no SQLite of its own. The store belongs to the native
// reference server on the host, so the host's sqlite3 makes the change, through
// its stand-in as the server itself is started. The values go into the
// statements as literals: integers as they are, text as the hexadecimal of its
// UTF-8 bytes, which no name can break out of.
namespace {

QByteArray literal(const QVariant &value)
{
    if (value.typeId() == QMetaType::QString)
        return "CAST(X'" + value.toString().toUtf8().toHex() + "' AS TEXT)";
    return QByteArray::number(value.toLongLong());
}

// The statements of `sql` with their parameters as literals; false when one
// names a value that is not given.
bool withLiterals(const QByteArray &sql, const QList<QVariant> &values, QString *script)
{
    static const QRegularExpression parameter(QStringLiteral("\\?(\\d+)"));
    for (const QByteArray &statement : sql.split(';')) {
        if (statement.trimmed().isEmpty())
            continue;
        QString out;
        qsizetype from = 0;
        const QString text = QString::fromUtf8(statement);
        for (auto it = parameter.globalMatch(text); it.hasNext();) {
            const QRegularExpressionMatch m = it.next();
            const int index = m.captured(1).toInt() - 1;
            if (index < 0 || index >= values.size())
                return false;
            out += text.mid(from, m.capturedStart() - from) + QString::fromLatin1(literal(values.at(index)));
            from = m.capturedEnd();
        }
        *script += out + text.mid(from) + QLatin1Char(';');
    }
    return true;
}

// The host's sqlite3 in safe mode (no other files, no shell), which the host
// broker insists on as well; -bail ends it at the first failed statement.
bool runSqlite(const QString &dataDir, QStringList options, const QString &script, QByteArray *output)
{
    options << QStringLiteral("-safe") << QStringLiteral("-bail") << QStringLiteral("-cmd")
            << QStringLiteral(".timeout 20000") << QDir::toNativeSeparators(dataDir + QStringLiteral("/kumat.db"))
            << script;
    QProcess sqlite;
    if (output)
        sqlite.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    else
        sqlite.setProcessChannelMode(QProcess::ForwardedChannels);
    sqlite.start(QStringLiteral("sqlite3"), options);
    const bool ok = sqlite.waitForFinished(60000) && sqlite.exitStatus() == QProcess::NormalExit
        && sqlite.exitCode() == 0;
    if (output)
        *output = sqlite.readAllStandardOutput();
    return ok;
}

} // namespace

bool rewriteStore(const QString &dataDir, const QByteArray &sql, const QList<QVariant> &values)
{
    // the open transaction goes with a sqlite3 that -bail ended before COMMIT
    QString script = QStringLiteral("BEGIN IMMEDIATE;");
    if (!withLiterals(sql, values, &script))
        return false;
    script += QStringLiteral("COMMIT;");
    return runSqlite(dataDir, {}, script, nullptr);
}

QString readStore(const QString &dataDir, const QByteArray &sql, const QList<QVariant> &values)
{
    QString script;
    QByteArray output;
    if (!withLiterals(sql, values, &script) || !runSqlite(dataDir, {QStringLiteral("-readonly")}, script, &output))
        return QString();
    // sqlite3's list mode: one row a line, columns separated by "|"
    const QByteArray row = output.split('\n').constFirst().trimmed();
    return row.isEmpty() ? QString() : QString::fromUtf8(row.split('|').constFirst());
}
