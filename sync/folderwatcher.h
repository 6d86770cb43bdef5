#pragma once

#include <QObject>
#include <QStringList>

#include <memory>

// Reports which of the watched folders changed: a name in it came, went or
// changed. On Linux each folder has a watch of its own. On Windows a watch
// holds the folder open, and an open folder keeps every folder above it from
// being renamed or removed ("the folder is in use" in Explorer, a refused
// removal in the pass itself), so there one watch of the whole tree is held on
// the top folder alone, and since its reports name no file, each burst of them
// reaches every watched folder.
class FolderWatcher : public QObject
{
    Q_OBJECT

public:
    explicit FolderWatcher(QObject *parent = nullptr);
    ~FolderWatcher() override;

    // Replaces what is watched. The first folder is the top one; the others lie
    // below it. A folder that cannot be watched is left out of directories().
    // A watch of the same top folder as before goes on from the one there:
    // what it reported and has not delivered yet is still delivered, and a
    // folder no longer listed is no longer reported.
    void watch(const QStringList &dirs);
    void clear();
    QStringList directories() const;

Q_SIGNALS:
    void directoryChanged(const QString &path);

private:
    struct Platform;
    std::unique_ptr<Platform> platform;
};
