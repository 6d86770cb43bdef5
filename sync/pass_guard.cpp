#include "syncengine.h"

#include <QStringList>

#include <algorithm>

namespace {

// how many paths the question names; the count says the rest
constexpr int namedPaths = 10;

} // namespace

QSet<QString> SyncEngine::allowedRemovals(int side, const QStringList &candidates)
{
    RemovalHold &hold = removalHolds[side];
    QSet<QString> allowed;
    QStringList unasked;
    for (const QString &path : candidates) {
        // what the user agreed to remove goes; anything else is judged anew
        if (hold.approved && hold.pending.contains(path))
            allowed.insert(path);
        else
            unasked.append(path);
    }
    if (hold.approved) {
        hold.approved = false;
        hold.pending.clear();
    }
    // More than a quarter of what this folder has synchronised, and enough
    // files for that to be no ordinary tidy-up.
    const bool tooMany = unasked.size() >= removalGuardMinimum && qint64(unasked.size()) * 4 > state.size();
    if (!tooMany) {
        for (const QString &path : std::as_const(unasked))
            allowed.insert(path);
        hold.pending.clear();
        return allowed;
    }

    const bool askedAlready = !hold.pending.isEmpty();
    hold.pending = QSet<QString>(unasked.cbegin(), unasked.cend());
    QStringList sorted = unasked;
    std::sort(sorted.begin(), sorted.end());
    Q_EMIT log((side == LocalRemoval
                    ? QStringLiteral("Kumatta silinmiş görünen %1 dosya bu bilgisayardan kaldırılmadı; onayınız bekleniyor.")
                    : QStringLiteral("Bu bilgisayarda silinmiş görünen %1 dosya kumatta silinmedi; onayınız bekleniyor."))
                   .arg(unasked.size()));
    // The answer is never assumed: the files stay as they are, pass after
    // pass, until the user gives it; the question is asked once.
    if (!askedAlready)
        Q_EMIT removalsNeedAnswer(side, int(unasked.size()), sorted.mid(0, namedPaths));
    return allowed;
}

void SyncEngine::answerRemovals(int side, bool remove)
{
    if (side != LocalRemoval && side != ServerDeletion)
        return;
    RemovalHold &hold = removalHolds[side];
    // answered after the files came back, or asked about another folder
    if (hold.pending.isEmpty())
        return;
    hold.approved = remove;
    hold.keep = !remove;
    Q_EMIT log(remove ? QStringLiteral("Toplu silme onaylandı; bir sonraki senkronizasyonda yapılacak.")
                      : QStringLiteral("Toplu silme reddedildi; dosyalar diğer taraftan geri getirilecek."));
    scheduleSync();
}

void SyncEngine::applyKeptRemovals()
{
    // Applied as a pass begins, never in the middle of one, whose decisions
    // read the records. Without its record a file present on one side only
    // is a new file there: uploaded if it is here, downloaded if it is on
    // the server.
    for (RemovalHold &hold : removalHolds) {
        if (!hold.keep)
            continue;
        for (const QString &path : std::as_const(hold.pending))
            state.remove(path);
        hold.pending.clear();
        hold.keep = false;
    }
}
