#include <windows.h>

#include "app/StartUp.h"
#include "app/base/SystemLibrary.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR commandLine, int) {
    win::HardenDllSearch();
    CStartUp startUp;
    return startUp.Run(instance, commandLine);
}
