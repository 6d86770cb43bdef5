#include "testplatform.h"

#include <QByteArray>
#include <QDir>
#include <QFileInfo>

#include <windows.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <vector>

// Wine's shell has an IFileOperation whose PerformOperations does nothing but
// fail, so QFile::moveToTrash refuses every file there. The stand-in below
// answers CoCreateInstance(CLSID_FileOperation) in this thread's apartment and
// does what the Recycle Bin does for a single deletion: it moves the item away
// and hands the caller the item's new place through its progress sink, as
// Windows does. Its folder is the freedesktop layout the Linux build uses
// ($XDG_DATA_HOME/Trash/files), so a test looks in one place on both, and a
// data folder that cannot be made refuses the move, as a drive without a
// Recycle Bin does.
namespace {

QString recycleFolder()
{
    const QByteArray dataHome = qgetenv("XDG_DATA_HOME");
    if (dataHome.isEmpty())
        return QString();
    return QDir(QString::fromLocal8Bit(dataHome)).filePath(QStringLiteral("Trash/files"));
}

// "a.txt", then "a 2.txt", "a 3.txt"...: the Recycle Bin keeps every deleted
// item, whatever its name
QString freeName(const QString &folder, const QString &name)
{
    const QFileInfo info(name);
    const QString suffix = info.completeSuffix().isEmpty() ? QString() : QLatin1Char('.') + info.completeSuffix();
    QString candidate = QDir(folder).filePath(name);
    for (int n = 2; QFileInfo::exists(candidate) || QFileInfo(candidate).isSymLink(); ++n)
        candidate = QDir(folder).filePath(info.baseName() + QLatin1Char(' ') + QString::number(n) + suffix);
    return candidate;
}

HRESULT recycle(IShellItem *item, QString *newPlace)
{
    wchar_t *source = nullptr;
    HRESULT result = item->GetDisplayName(SIGDN_FILESYSPATH, &source);
    if (FAILED(result))
        return result;
    const QString from = QDir::fromNativeSeparators(QString::fromWCharArray(source));
    CoTaskMemFree(source);
    const QString folder = recycleFolder();
    if (folder.isEmpty() || !QDir().mkpath(folder))
        return HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    const QString to = freeName(folder, QFileInfo(from).fileName());
    if (!MoveFileExW(reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(from).utf16()),
                     reinterpret_cast<const wchar_t *>(QDir::toNativeSeparators(to).utf16()), 0))
        return HRESULT_FROM_WIN32(GetLastError());
    *newPlace = QDir::toNativeSeparators(to);
    return S_OK;
}

class StandInFileOperation final : public IFileOperation
{
public:
    ~StandInFileOperation()
    {
        for (const Deletion &d : deletions) {
            d.item->Release();
            if (d.sink)
                d.sink->Release();
        }
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override
    {
        if (!out)
            return E_POINTER;
        if (iid == __uuidof(IUnknown) || iid == __uuidof(IFileOperation)) {
            *out = static_cast<IFileOperation *>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ULONG(InterlockedIncrement(&refs)); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const LONG left = InterlockedDecrement(&refs);
        if (left == 0)
            delete this;
        return ULONG(left);
    }

    HRESULT STDMETHODCALLTYPE SetOperationFlags(DWORD f) override
    {
        flags = f;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE DeleteItem(IShellItem *item, IFileOperationProgressSink *sink) override
    {
        if (!item)
            return E_INVALIDARG;
        item->AddRef();
        if (sink)
            sink->AddRef();
        deletions.push_back({item, sink});
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE PerformOperations() override
    {
        // a stand-in for the Recycle Bin only: a deletion for good is not its business
        if (!(flags & FOFX_RECYCLEONDELETE) && !(flags & FOF_ALLOWUNDO))
            return E_NOTIMPL;
        for (const Deletion &d : deletions) {
            if (d.sink && FAILED(d.sink->PreDeleteItem(TSF_DELETE_RECYCLE_IF_POSSIBLE, d.item))) {
                aborted = TRUE;
                continue;
            }
            QString newPlace;
            const HRESULT result = recycle(d.item, &newPlace);
            IShellItem *created = nullptr;
            if (SUCCEEDED(result))
                SHCreateItemFromParsingName(reinterpret_cast<const wchar_t *>(newPlace.utf16()), nullptr,
                                            IID_PPV_ARGS(&created));
            if (d.sink)
                d.sink->PostDeleteItem(TSF_DELETE_RECYCLE_IF_POSSIBLE, d.item, result, created);
            if (created)
                created->Release();
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetAnyOperationsAborted(BOOL *out) override
    {
        if (!out)
            return E_POINTER;
        *out = aborted;
        return S_OK;
    }

    // nothing the engine asks for
    HRESULT STDMETHODCALLTYPE Advise(IFileOperationProgressSink *, DWORD *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetProgressMessage(LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetProgressDialog(IOperationsProgressDialog *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetProperties(IPropertyChangeArray *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetOwnerWindow(HWND) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE ApplyPropertiesToItem(IShellItem *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE ApplyPropertiesToItems(IUnknown *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RenameItem(IShellItem *, LPCWSTR, IFileOperationProgressSink *) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE RenameItems(IUnknown *, LPCWSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE MoveItem(IShellItem *, IShellItem *, LPCWSTR, IFileOperationProgressSink *) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE MoveItems(IUnknown *, IShellItem *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CopyItem(IShellItem *, IShellItem *, LPCWSTR, IFileOperationProgressSink *) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CopyItems(IUnknown *, IShellItem *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DeleteItems(IUnknown *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE NewItem(IShellItem *, DWORD, LPCWSTR, LPCWSTR, IFileOperationProgressSink *) override
    {
        return E_NOTIMPL;
    }

private:
    struct Deletion
    {
        IShellItem *item;
        IFileOperationProgressSink *sink;
    };
    LONG refs = 1;
    DWORD flags = 0;
    BOOL aborted = FALSE;
    std::vector<Deletion> deletions;
};

class StandInFactory final : public IClassFactory
{
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void **out) override
    {
        if (!out)
            return E_POINTER;
        if (iid == __uuidof(IUnknown) || iid == __uuidof(IClassFactory)) {
            *out = static_cast<IClassFactory *>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    // lives as long as the process
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *outer, REFIID iid, void **out) override
    {
        if (outer)
            return CLASS_E_NOAGGREGATION;
        auto *operation = new StandInFileOperation;
        const HRESULT result = operation->QueryInterface(iid, out);
        operation->Release();
        return result;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

} // namespace

bool TestPlatform::useStandInRecycleBin()
{
    if (!underWine())
        return true;
    static DWORD cookie = 0;
    if (cookie)
        return true;
    // the apartment stays for the life of the process, so the registration
    // holds for every moveToTrash on this thread
    const HRESULT joined = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(joined) && joined != RPC_E_CHANGED_MODE)
        return false;
    static StandInFactory factory;
    return SUCCEEDED(CoRegisterClassObject(CLSID_FileOperation, &factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                                           &cookie));
}
