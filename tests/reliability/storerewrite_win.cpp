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

} // namespace

bool rewriteStore(const QString &dataDir, const QByteArray &sql, const QList<QVariant> &values)
{
    static const QRegularExpression parameter(QStringLiteral("\\?(\\d+)"));
    QString script = QStringLiteral("BEGIN IMMEDIATE;");
    for (const QByteArray &statement : sql.split(';')) {
        if (statement.trimmed().isEmpty())
            continue;
        bool known = true;
        QString out;
        qsizetype from = 0;
        const QString text = QString::fromUtf8(statement);
        for (auto it = parameter.globalMatch(text); it.hasNext();) {
            const QRegularExpressionMatch m = it.next();
            const int index = m.captured(1).toInt() - 1;
            known = known && index >= 0 && index < values.size();
            out += text.mid(from, m.capturedStart() - from);
            if (known)
                out += QString::fromLatin1(literal(values.at(index)));
            from = m.capturedEnd();
        }
        if (!known)
            return false;
        script += out + text.mid(from) + QLatin1Char(';');
    }
    script += QStringLiteral("COMMIT;");
    // -bail: the first failed statement ends sqlite3 before the COMMIT, and
    // the open transaction goes with it
    QProcess sqlite;
    sqlite.setProcessChannelMode(QProcess::ForwardedChannels);
    sqlite.start(QStringLiteral("sqlite3"),
                 {QStringLiteral("-bail"), QStringLiteral("-cmd"), QStringLiteral(".timeout 20000"),
                  QDir::toNativeSeparators(dataDir + QStringLiteral("/kumat.db")), script});
    return sqlite.waitForFinished(60000) && sqlite.exitStatus() == QProcess::NormalExit && sqlite.exitCode() == 0;
}
