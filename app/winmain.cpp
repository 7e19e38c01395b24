// Start-up of the Windows tool and its message loop.
#include <windows.h>

#include "app/main_window.h"
#include "image/firmware_image.h"
#include "protocol/frame.h"
#include "report/main_window_handle.h"
#include "report/report.h"
#include "resources/control_ids.h"
#include "serial/port_scan.h"

static HINSTANCE instance;

static void register_window_class()
{
    WNDCLASSA window_class{};
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = main_window_proc;
    window_class.cbClsExtra = 0;
    window_class.cbWndExtra = DLGWINDOWEXTRA;  // a dialog of a private class needs its extra bytes
    window_class.hInstance = instance;
    window_class.hIcon = nullptr;
    window_class.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    window_class.lpszMenuName = nullptr;
    window_class.lpszClassName = "FWU";
    if (RegisterClassA(&window_class) == 0)
        fatal_error("Unabled to register window class");
}

int WINAPI WinMain(HINSTANCE this_instance, HINSTANCE, LPSTR, int show_command)
{
    instance = this_instance;
    register_window_class();
    main_window = CreateDialogParamA(instance, "FWU", nullptr, nullptr, 0);
    if (main_window == nullptr)
        fatal_error("Could not create dialog");
    ShowWindow(main_window, show_command);
    HWND port_list = GetDlgItem(main_window, IDC_PORT_LIST);
    trace("Running on windows version: %x\n", 0xA00);
    scan_ports(port_list);
    set_status(" - Idle - ");
    prepare_job(update_job, new uint8_t[FRAME_BUFFER_SIZE]);
    load_firmware_image(update_job);

    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) != 0) {
        if (!IsWindow(main_window) || !IsDialogMessageA(main_window, &message)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    return static_cast<int>(message.wParam);
}
