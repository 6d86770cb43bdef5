#include "apiclient.h"

// Placeholder bodies so that every subsystem builds while the client is written.
ApiClient::ApiClient(QObject *parent) : QObject(parent) {}
void ApiClient::setBaseUrl(const QString &url) { base = url.trimmed(); while (base.endsWith(QLatin1Char('/'))) base.chop(1); }
QString ApiClient::baseUrl() const { return base; }
QString ApiClient::token() const { return bearerToken; }
QString ApiClient::lastError() const { return error; }
void ApiClient::setTransferLimits(int downloadKiBps, int uploadKiBps) { downloadLimit = downloadKiBps; uploadLimit = uploadKiBps; }
void ApiClient::cancelActiveTransfers() {}
bool ApiClient::login(const QString &, const QString &, const QString &) { return false; }
QJsonObject ApiClient::me() { return {}; }
QJsonObject ApiClient::snapshot() { return {}; }
QJsonObject ApiClient::createFolder(const QVariant &, const QString &) { return {}; }
bool ApiClient::deleteNode(qint64) { return false; }
QJsonObject ApiClient::uploadFile(const QVariant &, const QString &, const QString &, const QVariant &) { return {}; }
bool ApiClient::downloadFile(qint64, const QString &, const QString &) { return false; }
QNetworkRequest ApiClient::request(const QString &) const { return {}; }
QByteArray ApiClient::rawRequest(const QString &, const QString &, const QByteArray &, const QByteArray &, int *) { return {}; }
QJsonObject ApiClient::jsonRequest(const QString &, const QString &, const QJsonObject &) { return {}; }
bool ApiClient::parseOk(const QByteArray &, QJsonObject *) { return false; }
