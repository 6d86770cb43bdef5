#pragma once

#include <QSslConfiguration>
#include <QString>

// A throwaway certificate authority and a server certificate for "localhost",
// 127.0.0.1 and the update host's name, made once per test process with the openssl command-line tool.
// ensure() also makes the process's default TLS configuration trust that CA, so
// the unmodified client code talks to loopback servers over real HTTPS; the
// system trust store is never touched.
namespace TestTls {

bool ensure();
// Whether the system's own check still finds the server certificate's
// signature good; when it does not, says so on the line that
// scripts/wine-startup-failures knows. Wine's check has been seen to break for
// a whole process, sometimes only after ensure() found it sound.
bool systemCheckHolds();
QString directory();
QString caCertificatePath();
QString certificatePath();
QString keyPath();
QSslConfiguration serverConfiguration();

} // namespace TestTls
