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
// Whether the system's own check finds the signatures of the server
// certificate and of its authority good; when it does not, says so in a line
// of its own, which names the cause of the handshakes that fail next.
bool systemCheckHolds();
QString directory();
QString caCertificatePath();
QString certificatePath();
QString keyPath();
QSslConfiguration serverConfiguration();

} // namespace TestTls
