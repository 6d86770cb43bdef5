#include "testprocess.h"

#include "testplatform.h"

#include <QProcess>

bool TestProcess::start(QProcess &process, const QString &program, const QStringList &arguments, int timeoutMs)
{
    process.start(program, arguments);
    if (process.waitForStarted(timeoutMs))
        return true;
    if (process.error() != QProcess::FailedToStart || !TestPlatform::underWine())
        return false;
    qWarning("%s did not start under Wine (%s); trying once more", qPrintable(program),
             qPrintable(process.errorString()));
    process.start(program, arguments);
    return process.waitForStarted(timeoutMs);
}
