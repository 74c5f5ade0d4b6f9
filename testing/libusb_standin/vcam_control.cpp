// vcam-control: unplugs, plugs or presses the photo button of the stand-in camera of the process that
// has loaded the stand-in libusb (in the same Wine prefix), and waits until that process has acted.
//   vcam-control unplug|plug|photo
// Exit status: 0 done; 1 no process with the stand-in camera; 2 usage; 3 no answer within 5 s.

#include "standin_control.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    const wchar_t *name = nullptr;
    if (argc == 2 && std::strcmp(argv[1], "unplug") == 0)
        name = standin::kUnplugEvent;
    else if (argc == 2 && std::strcmp(argv[1], "plug") == 0)
        name = standin::kPlugEvent;
    else if (argc == 2 && std::strcmp(argv[1], "photo") == 0)
        name = standin::kPhotoEvent;
    if (!name) {
        std::fprintf(stderr, "usage: vcam-control unplug|plug|photo\n");
        return 2;
    }
    HANDLE request = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
    HANDLE done = OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, standin::kDoneEvent);
    if (!request || !done) {
        std::fprintf(stderr, "vcam-control: no program with the stand-in camera is running\n");
        return 1;
    }
    ResetEvent(done);
    SetEvent(request);
    const bool answered = WaitForSingleObject(done, 5000) == WAIT_OBJECT_0;
    if (!answered)
        std::fprintf(stderr, "vcam-control: the stand-in camera did not answer within 5 s\n");
    CloseHandle(request);
    CloseHandle(done);
    return answered ? 0 : 3;
}
