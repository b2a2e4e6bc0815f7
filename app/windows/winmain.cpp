// The Windows entry point: a GUI-subsystem program with no window and no console.
// The start-up arguments are ignored; QuellixMain reads the command line itself.
#include <windows.h>

#include "app/app.h"

int WINAPI wWinMain(HINSTANCE /*hInstance*/, HINSTANCE /*hPrevInstance*/, PWSTR /*pCmdLine*/,
                    int /*nCmdShow*/) {
    return QuellixMain();
}
