// Program entry of a program built on this layer: the application object
// already exists (static initialisation); its InitInstance is the program.
#include "window.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    CWinApp* app = AfxGetApp();
    if (!app)
    {
        return 1;
    }
    try
    {
        if (!app->InitInstance())
        {
            return 0;
        }
        while (app->PumpMessage())
        {
        }
    }
    catch (...)
    {
        return 1;
    }
    return 0;
}
