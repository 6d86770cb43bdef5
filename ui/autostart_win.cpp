#include "autostart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <iterator>

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

namespace AutoStart {

namespace {

QString folderOverride;

// The shell link objects need COM on this thread; the GUI thread normally has
// it already (then this only counts up and down).
class ComScope
{
public:
    ComScope() : result(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) { }
    ~ComScope()
    {
        if (SUCCEEDED(result))
            CoUninitialize();
    }
    ComScope(const ComScope &) = delete;
    ComScope &operator=(const ComScope &) = delete;

private:
    HRESULT result;
};

template<typename T>
struct ComPtr
{
    T *p = nullptr;
    ~ComPtr()
    {
        if (p)
            p->Release();
    }
    T *operator->() const { return p; }
};

QString startupFolder()
{
    if (!folderOverride.isEmpty())
        return folderOverride;
    // the folder Windows names for this user: it follows a moved or redirected
    // profile, which the documents folder does not tell
    PWSTR path = nullptr;
    QString folder;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_Startup, KF_FLAG_CREATE, nullptr, &path)))
        folder = QDir::fromNativeSeparators(QString::fromWCharArray(path));
    CoTaskMemFree(path);
    return folder;
}

bool samePath(const QString &a, const QString &b)
{
    return !a.isEmpty()
        && QDir::cleanPath(QDir::fromNativeSeparators(a)).compare(QDir::cleanPath(QDir::fromNativeSeparators(b)),
                                                                  Qt::CaseInsensitive)
        == 0;
}

bool write(const QString &shortcut, const QString &executable)
{
    ComPtr<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void **>(&link.p))))
        return false;
    const std::wstring target = QDir::toNativeSeparators(executable).toStdWString();
    const std::wstring directory = QDir::toNativeSeparators(QFileInfo(executable).absolutePath()).toStdWString();
    if (FAILED(link->SetPath(target.c_str())) || FAILED(link->SetWorkingDirectory(directory.c_str())))
        return false;
    ComPtr<IPersistFile> file;
    if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file.p))))
        return false;
    const std::wstring path = QDir::toNativeSeparators(shortcut).toStdWString();
    return SUCCEEDED(file->Save(path.c_str(), TRUE));
}

} // namespace

void setFolderForTesting(const QString &folder)
{
    folderOverride = folder;
}

QString entryPath()
{
    const QString folder = startupFolder();
    if (folder.isEmpty())
        return QString();
    return folder + QStringLiteral("/Zelnor Kumat Senkronizasyon.lnk");
}

QString target()
{
    const QString shortcut = entryPath();
    // no existence check first: Qt takes a .lnk for a link and asks after its
    // target, and a load that fails means no readable entry anyway
    if (shortcut.isEmpty())
        return QString();
    ComScope com;
    ComPtr<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void **>(&link.p))))
        return QString();
    ComPtr<IPersistFile> file;
    if (FAILED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file.p))))
        return QString();
    const std::wstring path = QDir::toNativeSeparators(shortcut).toStdWString();
    if (FAILED(file->Load(path.c_str(), STGM_READ)))
        return QString();
    wchar_t buffer[32768] = {};
    // GetPath does not resolve (no search of the disk for a moved target)
    if (link->GetPath(buffer, int(std::size(buffer)), nullptr, 0) != S_OK)
        return QString();
    return QDir::fromNativeSeparators(QString::fromWCharArray(buffer));
}

bool enable(const QString &executable)
{
    if (samePath(target(), executable))
        return true;
    const QString shortcut = entryPath();
    if (shortcut.isEmpty())
        return false;
    {
        ComScope com;
        write(shortcut, executable);
    }
    // whatever Save said, only the shortcut read back counts
    return samePath(target(), executable);
}

void disable()
{
    const QString shortcut = entryPath();
    if (!shortcut.isEmpty())
        QFile::remove(shortcut);
}

} // namespace AutoStart
