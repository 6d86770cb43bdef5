#include "qmain.h"

#include "mainwindow.h"
#include "singlecopy.h"

#include <QApplication>
#include <QIcon>
#include <QStyleFactory>
#include <QTimer>

namespace AppEntry {

void applyIdentity()
{
    QCoreApplication::setApplicationName(QStringLiteral("Zelnor Kumat Senkronizasyon"));
    QCoreApplication::setOrganizationName(QStringLiteral("Zelnor"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KUMAT_VERSION));
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/zelnor-kumat-sync.svg")));
}

bool checkUpdateRequested(const QStringList &arguments)
{
    for (const QString &argument : arguments) {
        if (argument == QLatin1String("--check-update"))
            return true;
    }
    return false;
}

void activate(MainWindow &window, const QStringList &arguments)
{
    window.bringToFront();
    if (checkUpdateRequested(arguments))
        QMetaObject::invokeMethod(&window, "checkForUpdatesClicked", Qt::QueuedConnection);
}

} // namespace AppEntry

int qMain(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    AppEntry::applyIdentity();

    // A later start hands its command line over and ends before it has a
    // window or an engine of its own.
    SingleCopy singleCopy;
    if (!singleCopy.claim(QCoreApplication::arguments()))
        return 0;

    int exitCode = 0;
    {
        MainWindow window;
        QObject::connect(&singleCopy, &SingleCopy::activationRequested, &window,
                         [&window](const QStringList &arguments) { AppEntry::activate(window, arguments); });
        window.show();
        if (AppEntry::checkUpdateRequested(QCoreApplication::arguments())) {
            // queued, so that the check runs after the window's own start-up timers
            QTimer::singleShot(100, Qt::PreciseTimer, &window, [&window] {
                QMetaObject::invokeMethod(&window, "checkForUpdatesClicked", Qt::QueuedConnection);
            });
        }
        exitCode = QApplication::exec();
    }
    return exitCode;
}
