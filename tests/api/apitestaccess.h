#pragma once

#include "apiclient.h"

#include <QByteArray>
#include <QList>
#include <QNetworkReply>
#include <QPair>
#include <QString>

// The client's private request core, for the tests that judge it directly.
class ApiClientTestAccess
{
public:
    static void setToken(ApiClient &client, const QString &token) { client.bearerToken = token; }
    static QNetworkRequest request(const ApiClient &client, const QString &path) { return client.request(path); }
    static QByteArray rawRequest(ApiClient &client, const QString &method, const QString &path,
                                 const QByteArray &body, const QByteArray &contentType, int *status)
    {
        return client.rawRequest(method, path, body, contentType, status);
    }
    static bool parseOk(ApiClient &client, const QByteArray &bytes, QJsonObject *out)
    {
        return client.parseOk(bytes, out);
    }
    static QList<QNetworkReply *> replies(ApiClient &client)
    {
        return client.network.findChildren<QNetworkReply *>();
    }
};

// One part of a multipart/form-data body as the server received it.
struct FormPart
{
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    QByteArray header(const QByteArray &name) const
    {
        for (const auto &h : headers) {
            if (h.first.compare(name, Qt::CaseInsensitive) == 0)
                return h.second;
        }
        return QByteArray();
    }
};

// Splits a form body by the boundary of its Content-Type. Part header lines end
// at every line feed, so a value that smuggled a line break shows up as an
// extra header line.
inline QList<FormPart> parseForm(const QByteArray &contentType, const QByteArray &body, bool *ok = nullptr)
{
    QList<FormPart> parts;
    if (ok)
        *ok = false;
    const int at = contentType.indexOf("boundary=");
    if (at < 0)
        return parts;
    QByteArray boundary = contentType.mid(at + 9).trimmed();
    if (boundary.startsWith('"') && boundary.endsWith('"'))
        boundary = boundary.mid(1, boundary.size() - 2);
    const QByteArray delimiter = "--" + boundary;

    int pos = body.indexOf(delimiter);
    if (pos != 0)
        return parts;
    for (;;) {
        pos += delimiter.size();
        if (body.mid(pos, 2) == "--") {
            if (ok)
                *ok = true;
            return parts;
        }
        if (body.mid(pos, 2) != "\r\n")
            return parts;
        pos += 2;
        const int next = body.indexOf("\r\n" + delimiter, pos);
        if (next < 0)
            return parts;
        const QByteArray chunk = body.mid(pos, next - pos);
        const int headerEnd = chunk.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return parts;
        FormPart part;
        for (const QByteArray &line : chunk.left(headerEnd).split('\n')) {
            QByteArray l = line;
            if (l.endsWith('\r'))
                l.chop(1);
            const int colon = l.indexOf(':');
            part.headers.append({colon > 0 ? l.left(colon).trimmed() : l, colon > 0 ? l.mid(colon + 1).trimmed() : QByteArray()});
        }
        part.body = chunk.mid(headerEnd + 4);
        parts.append(part);
        pos = next + 2;
    }
}
