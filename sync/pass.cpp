#include "syncengine.h"

// Placeholder until the pass exists: the entry guard, then an immediate end.
void SyncEngine::syncNow()
{
    if (!running || syncInProgress)
        return;
    syncInProgress = true;
    syncInProgress = false;
}
