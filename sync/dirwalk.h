#pragma once

#include <QString>

#include <functional>

// What QDirIterator(root, filters, QDirIterator::Subdirectories) lists for the
// two filter sets the engine walks the folder with, as the same path strings,
// in no particular order. Where the platform allows, without a QFileInfo per
// entry: the folder holds one entry per synchronised file, and each pass walks
// it twice.
namespace DirWalk {

enum class Listing {
    Files, // QDir::Files | QDir::NoDotAndDotDot
    Dirs,  // QDir::Dirs | QDir::NoDotAndDotDot
};

void list(const QString &root, Listing listing, const std::function<void(const QString &path)> &take);

} // namespace DirWalk
