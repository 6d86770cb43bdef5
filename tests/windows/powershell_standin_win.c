/* Stands in for powershell.exe in the autostart test: writes the arguments as
 * Windows handed them over (UTF-8, each ended by a NUL) to the file named by
 * KUMAT_STANDIN_LOG and exits with KUMAT_STANDIN_EXIT (0 if unset). */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>

int wmain(int argc, wchar_t **argv)
{
    const wchar_t *log = _wgetenv(L"KUMAT_STANDIN_LOG");
    const wchar_t *code = _wgetenv(L"KUMAT_STANDIN_EXIT");
    FILE *out = log ? _wfopen(log, L"wb") : NULL;
    int i;
    if (!out)
        return 125;
    for (i = 1; i < argc; ++i) {
        char utf8[65536];
        int size = WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, utf8, sizeof utf8, NULL, NULL);
        if (size <= 0)
            return 125;
        fwrite(utf8, 1, (size_t)size, out); /* the terminating NUL included */
    }
    fclose(out);
    return code ? _wtoi(code) : 0;
}
