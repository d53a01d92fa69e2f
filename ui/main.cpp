#include <windows.h>

#include "app_shell.h"

// The command line is ignored: the tool has no options.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    return AppShell::Run(instance, showCommand);
}
