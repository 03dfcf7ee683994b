// Loads the serial transport as a client does, registers a line on a COM port (the instrument
// answers there, so the line's threads run), lets go of it and of the library's interface, and
// times FreeLibrary. The library must not wait for the line's threads at unload (under the loader
// lock): they stop when the last client lets go.
// usage: lintra_unload [--com N] [--close]   (--close: unregister the line before letting go)
// Prints the FreeLibrary time; exit status 0 when it returned within a second.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <lintra/iapi.h>
#include <tavobridge/SerialComPort.h>

int main(int argc, char **argv) {
    int com = 1;
    bool close_first = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--com") == 0 && i + 1 < argc)
            com = atoi(argv[++i]);
        else if (strcmp(argv[i], "--close") == 0)
            close_first = true;
        else {
            fprintf(stderr, "usage: lintra_unload [--com N] [--close]\n");
            return 2;
        }
    }
    HMODULE module = LoadLibraryA("lintra8.dll");
    if (!module) {
        fprintf(stderr, "lintra_unload: cannot load lintra8 (error %lu)\n", (unsigned long)GetLastError());
        return 1;
    }
    typedef w32cpp::auto_handle<lintra::iapi> *(*factory)();
    factory get = reinterpret_cast<factory>(reinterpret_cast<void *>(GetProcAddress(module, "lintra_get_instance")));
    if (!get || !get() || !*get()) {
        fprintf(stderr, "lintra_unload: lintra8 gives no interface\n");
        return 1;
    }
    {
        w32cpp::auto_handle<lintra::iapi> client = *get();
        char settings[64];
        sprintf(settings, "COM%d: baud=115200 data=8 stop=1 parity=N", com);
        lintra::port_handle port(new SerialComPort(settings, 2000, false));
        if (!client->register_port(port, 1)) {
            fprintf(stderr, "lintra_unload: COM%d cannot be registered\n", com);
            return 1;
        }
        // Bring-up on the device task, then the worker and its interrupt poll.
        Sleep(1500);
        if (close_first) {
            client->unregister_port(port, 1);
            printf("line on COM%d registered and closed\n", com);
        } else {
            printf("line on COM%d registered\n", com);
        }
    }
    fflush(stdout);
    const DWORD start = GetTickCount();
    FreeLibrary(module);
    const DWORD took = GetTickCount() - start;
    printf("FreeLibrary returned after %lu ms\n", (unsigned long)took);
    return took < 1000 ? 0 : 1;
}
