#include "qmain.h"

#include "mainwindow.h"

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

} // namespace AppEntry

int qMain(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    AppEntry::applyIdentity();

    int exitCode = 0;
    {
        MainWindow window;
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
