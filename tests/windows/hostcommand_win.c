/* A Windows stand-in for a program that exists only on the Linux host (the
 * reference server, openssl). Test programs under Wine start it like any
 * program; it hands its arguments and working folder to the test runner's
 * host broker ($KUMAT_HOST_BROKER_PORT on loopback, which answers only
 * requests that carry this run's $KUMAT_HOST_BROKER_SECRET), which runs the native
 * program of the same base name, and relays that program's output and exit
 * code. When this process is terminated the connection drops and the broker
 * ends the native program. A hidden window answers WM_CLOSE, so a polite
 * QProcess::terminate() ends the native program too and returns once it has
 * ended: a test that removes the program's files next must not race its
 * last writes. */
#include <winsock2.h>
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static SOCKET conn = INVALID_SOCKET;

static int sendAll(const char *data, int size)
{
    while (size > 0) {
        int n = send(conn, data, size, 0);
        if (n <= 0)
            return 0;
        data += n;
        size -= n;
    }
    return 1;
}

static int recvAll(char *data, int size)
{
    while (size > 0) {
        int n = recv(conn, data, size, 0);
        if (n <= 0)
            return 0;
        data += n;
        size -= n;
    }
    return 1;
}

/* a failure of the connection to the broker, said on standard error so that
 * it is told apart from the native program's own failure */
static int lost(const char *what)
{
    fprintf(stderr, "hostcommand: %s (Winsock error %d)\n", what, WSAGetLastError());
    return 127;
}

/* length-prefixed UTF-8 string */
static int sendWide(const wchar_t *text)
{
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
    char *utf8 = malloc(size > 0 ? size : 1);
    unsigned char len[4];
    int ok;
    if (size <= 0 || !utf8)
        return 0;
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, size, NULL, NULL);
    --size;
    len[0] = size >> 24; len[1] = size >> 16; len[2] = size >> 8; len[3] = size;
    ok = sendAll((const char *)len, 4) && sendAll(utf8, size);
    free(utf8);
    return ok;
}

static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CLOSE) {
        /* the broker ends the native program when our side of the connection
         * closes, and sends its exit code once it has ended; a broker that
         * does not answer does not keep us */
        shutdown(conn, SD_SEND);
        SetTimer(window, 1, 10000, NULL);
        return 0;
    }
    if (message == WM_TIMER)
        ExitProcess(143);
    return DefWindowProcW(window, message, wParam, lParam);
}

static DWORD WINAPI closeWatcher(LPVOID unused)
{
    WNDCLASSW wc;
    MSG msg;
    (void)unused;
    memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = windowProc;
    wc.hInstance = GetModuleHandleW(NULL);
    wc.lpszClassName = L"KumatHostCommand";
    RegisterClassW(&wc);
    CreateWindowW(L"KumatHostCommand", L"", 0, 0, 0, 0, 0, NULL, NULL, wc.hInstance, NULL);
    while (GetMessageW(&msg, NULL, 0, 0) > 0)
        DispatchMessageW(&msg);
    return 0;
}

int wmain(int argc, wchar_t **argv)
{
    WSADATA wsa;
    struct sockaddr_in addr;
    const char *port = getenv("KUMAT_HOST_BROKER_PORT");
    const wchar_t *secret = _wgetenv(L"KUMAT_HOST_BROKER_SECRET");
    wchar_t self[MAX_PATH], cwd[MAX_PATH];
    wchar_t *name;
    unsigned char header[5];
    int i;

    if (!port || !secret) {
        fprintf(stderr, "hostcommand: KUMAT_HOST_BROKER_PORT or KUMAT_HOST_BROKER_SECRET is not set\n");
        return 127;
    }
    CreateThread(NULL, 0, closeWatcher, NULL, 0, NULL);
    WSAStartup(MAKEWORD(2, 2), &wsa);
    conn = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons((unsigned short)atoi(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(conn, (struct sockaddr *)&addr, sizeof addr) != 0) {
        fprintf(stderr, "hostcommand: no broker on port %s\n", port);
        return 127;
    }

    GetModuleFileNameW(NULL, self, MAX_PATH);
    name = wcsrchr(self, L'\\');
    name = name ? name + 1 : self;
    if (wcslen(name) > 4 && _wcsicmp(name + wcslen(name) - 4, L".exe") == 0)
        name[wcslen(name) - 4] = 0;
    GetCurrentDirectoryW(MAX_PATH, cwd);
    {
        unsigned char count[4] = {0, 0, 0, (unsigned char)(argc - 1)};
        if (!sendWide(secret) || !sendWide(name) || !sendWide(cwd) || !sendAll((const char *)count, 4))
            return lost("the request could not be sent");
    }
    for (i = 1; i < argc; ++i)
        if (!sendWide(argv[i]))
            return lost("the request could not be sent");

    /* frames: 'o' or 'e' with a length and bytes, then 'x' with the exit code */
    while (recvAll((char *)header, 5)) {
        unsigned int size = ((unsigned)header[1] << 24) | (header[2] << 16) | (header[3] << 8) | header[4];
        if (header[0] == 'x')
            return (int)size;
        while (size > 0) {
            char buffer[65536];
            int chunk = size > sizeof buffer ? (int)sizeof buffer : (int)size;
            DWORD written;
            if (!recvAll(buffer, chunk))
                return lost("the connection ended in the middle of the output");
            WriteFile(GetStdHandle(header[0] == 'o' ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE), buffer, chunk,
                      &written, NULL);
            size -= chunk;
        }
    }
    return lost("the connection ended before the exit code");
}
