// The GUI-subsystem entry of the Windows build: no console, and nothing here
// but the hand-over to qMain with the C runtime's own argument vector.
#include <windows.h>

#include <stdlib.h>

int qMain(int argc, char **argv);

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    return qMain(__argc, __argv);
}
