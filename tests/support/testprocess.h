#pragma once

#include <QStringList>

class QProcess;

namespace TestProcess {

// Starts a program and waits until it runs. Wine now and then fails to create
// a process while the machine is busy (QProcess::FailedToStart, "Internal
// error", seen for the host command stand-ins in parallel runs); that failure
// alone is tried once more, so that Wine's fault is not counted against the
// program under test. Any other failure, or a second one, stands.
bool start(QProcess &process, const QString &program, const QStringList &arguments, int timeoutMs);

} // namespace TestProcess
